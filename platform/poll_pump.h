#pragma once

#include <vector>

#include "platform/message_pump.h"

namespace veritor {

// The event loop of a program without a window: each turn waits up to 1 ms
// for input on the watched descriptors and reads nothing itself.
class PollPump final : public MessagePump {
 public:
  // A turn of `turn_ms` milliseconds instead (input still ends it at once).
  explicit PollPump(int turn_ms = 1) : turn_ms_(turn_ms) {}
  void PumpOneMessage() override;
  void WatchInput(int fd) override;
  void UnwatchInput(int fd) override;

 private:
  int turn_ms_;
  std::vector<int> watched_;
};

}  // namespace veritor
