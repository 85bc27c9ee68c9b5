#pragma once

namespace veritor {

// One turn of the program's event loop. Every wait for the device calls it on
// each turn, so the window (or a simulated device in tests) keeps running.
// A turn that finds nothing to do blocks for at most about a millisecond, or
// until a watched descriptor becomes readable: waits never spin a core.
class MessagePump {
 public:
  virtual ~MessagePump() = default;
  virtual void PumpOneMessage() = 0;

  // Descriptors whose input should end a turn early (the open port or socket).
  virtual void WatchInput(int /*fd*/) {}
  virtual void UnwatchInput(int /*fd*/) {}
};

}  // namespace veritor
