#include "console/qt_pump.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace veritor {

namespace {
// The event loop runs at least this often while a wait pumps.
constexpr int kEventGapMs = 20;
}  // namespace

void QtPump::PumpOneMessage() {
  if (!since_events_.isValid() || since_events_.elapsed() >= kEventGapMs) {
    since_events_.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  device_wait_.PumpOneMessage();
}

void QtPump::WatchInput(int fd) { device_wait_.WatchInput(fd); }

void QtPump::UnwatchInput(int fd) { device_wait_.UnwatchInput(fd); }

}  // namespace veritor
