#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>

#include "platform/message_pump.h"
#include "platform/poll_pump.h"

namespace veritor {

// One turn of the waits of the device links. A turn either runs the Qt event
// loop, handling what is pending and otherwise sleeping until an event comes,
// the watched port or socket becomes readable, or the 1 ms tick fires; or,
// when the event loop ran less than a few milliseconds ago, only waits up to
// 1 ms for the watched descriptors. A device sends its reply byte by byte, so
// most turns are of the second kind, which cost a system call instead of a
// pass through the event loop, while the window still answers within a few
// milliseconds.
//
// The tick and the socket notifiers run only while a wait is pumping: they
// start with its first turn and stop at the first tick that finds no turn
// for a while, so the idle main loop sleeps without them. A notifier that
// fired stays off until the next turn, as its data is read by the wait, not
// by the notifier; otherwise it would fire on every pass.
class QtPump final : public QObject, public MessagePump {
 public:
  QtPump();
  void PumpOneMessage() override;
  void WatchInput(int fd) override;
  void UnwatchInput(int fd) override;

 private:
  void EnableNotifiers(bool on);
  void OnTick();

  QTimer tick_;
  QElapsedTimer since_turn_;
  QElapsedTimer since_events_;  // since the event loop last ran
  PollPump device_wait_;        // the turns between runs of the event loop
  bool in_turn_ = false;
  std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
};

}  // namespace veritor
