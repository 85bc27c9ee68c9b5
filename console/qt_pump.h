#pragma once

#include <QElapsedTimer>
#include <QObject>

#include "platform/message_pump.h"
#include "platform/poll_pump.h"

namespace veritor {

// One turn of the waits of the device links: at most every few milliseconds
// the Qt event loop handles what is pending, without waiting; then the turn
// waits, as veritor-cli's does, up to 1 ms for input on the watched port or
// socket. A device sends its reply byte by byte and a silent device sends
// nothing, so most turns cost one poll(); the window still answers the
// operator, repaints and runs its timers within kEventGapMs. The window's
// turns last up to 2 ms: input ends a turn at once, a silent device costs
// half the wake-ups, and the links' time-outs (tens of ms and more) are
// checked within 2 ms.
//
// No Qt timer or socket notifier runs for the wait: the idle main loop and
// the waiting one wake only for the poll of the device.
class QtPump final : public QObject, public MessagePump {
 public:
  void PumpOneMessage() override;
  void WatchInput(int fd) override;
  void UnwatchInput(int fd) override;

 private:
  QElapsedTimer since_events_;  // since the event loop last ran
  PollPump device_wait_{2};
};

}  // namespace veritor
