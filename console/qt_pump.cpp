#include "console/qt_pump.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace veritor {

QtPump::QtPump() {
  tick_.setSingleShot(true);
  tick_.setTimerType(Qt::PreciseTimer);
}

void QtPump::EnableNotifiers(bool on) {
  for (auto& [fd, notifier] : notifiers_) notifier->setEnabled(on);
}

void QtPump::PumpOneMessage() {
  EnableNotifiers(true);
  tick_.start(1);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  tick_.stop();
  EnableNotifiers(false);
}

void QtPump::WatchInput(int fd) {
  if (fd < 0 || notifiers_.count(fd) != 0) return;
  auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  notifier->setEnabled(false);
  // Waking the loop is all it is for; the wait that runs reads the input.
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                   [n = notifier.get()] { n->setEnabled(false); });
  notifiers_[fd] = std::move(notifier);
}

void QtPump::UnwatchInput(int fd) { notifiers_.erase(fd); }

}  // namespace veritor
