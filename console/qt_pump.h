#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>

#include "platform/message_pump.h"

namespace veritor {

// One pass of the Qt event loop for the waits of the device links. A turn
// handles what is pending and otherwise sleeps until an event comes, the
// watched port or socket becomes readable, or 1 ms has passed. The socket
// notifiers are switched on only inside a turn: a notifier whose data nobody
// reads would otherwise fire on every turn of the idle main loop.
class QtPump final : public QObject, public MessagePump {
 public:
  QtPump();
  void PumpOneMessage() override;
  void WatchInput(int fd) override;
  void UnwatchInput(int fd) override;

 private:
  void EnableNotifiers(bool on);

  QTimer tick_;
  std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
};

}  // namespace veritor
