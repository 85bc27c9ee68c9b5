#include "console/qt_pump.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace veritor {

namespace {
constexpr int kTickMs = 1;
// No turn for this long: the wait is over.
constexpr int kWaitOverMs = 5;
// The event loop runs at least this often while a wait pumps.
constexpr int kEventGapMs = 20;
}  // namespace

QtPump::QtPump() {
  tick_.setTimerType(Qt::PreciseTimer);
  tick_.setInterval(kTickMs);
  QObject::connect(&tick_, &QTimer::timeout, this, [this] { OnTick(); });
}

void QtPump::EnableNotifiers(bool on) {
  for (auto& [fd, notifier] : notifiers_) notifier->setEnabled(on);
}

void QtPump::OnTick() {
  if (in_turn_ || since_turn_.elapsed() < kWaitOverMs) return;
  tick_.stop();
  EnableNotifiers(false);
}

void QtPump::PumpOneMessage() {
  if (since_events_.isValid() && since_events_.elapsed() < kEventGapMs) {
    device_wait_.PumpOneMessage();
    since_turn_.start();
    return;
  }
  since_events_.start();
  in_turn_ = true;
  EnableNotifiers(true);
  if (!tick_.isActive()) tick_.start();
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  since_turn_.start();
  in_turn_ = false;
}

void QtPump::WatchInput(int fd) {
  if (fd < 0 || notifiers_.count(fd) != 0) return;
  device_wait_.WatchInput(fd);
  auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  notifier->setEnabled(false);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                   [n = notifier.get()] { n->setEnabled(false); });
  notifiers_[fd] = std::move(notifier);
}

void QtPump::UnwatchInput(int fd) {
  device_wait_.UnwatchInput(fd);
  notifiers_.erase(fd);
}

}  // namespace veritor
