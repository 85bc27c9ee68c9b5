// bench_console: the window's costs, on the offscreen platform unless
// QT_QPA_PLATFORM says otherwise.
//   start-up: from main() to the window's first paint;
//   idle CPU of the window over 3 s;
//   CPU while the window waits 3 s on a silent device (veritor-sim on a pty
//   that never answers an enquiry);
//   time and memory to append 1,000,000 log entries.

#include <sys/resource.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "console/main_window.h"
#include "console/qt_pump.h"
#include "core/control_ids.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "bench/bench_clock.h"
#include "tests/support/process.h"

namespace {

using namespace veritor;
using bench::CpuSeconds;
using bench::WallSeconds;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Runs the event loop for `seconds` and returns the CPU share it took.
double IdleCpuShare(double seconds) {
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  QTimer::singleShot(static_cast<int>(seconds * 1000), qApp, &QCoreApplication::quit);
  QCoreApplication::exec();
  return (CpuSeconds() - cpu) / Seconds(start);
}

struct PaintWatch : QObject {
  bool painted = false;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted = true;
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const auto process_start = Clock::now();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (std::getenv("VERITOR_BIN") == nullptr) {
    const std::string self(argv[0]);
    setenv("VERITOR_BIN", self.substr(0, self.rfind('/')).c_str(), 1);
  }
  test::SimulatorProcess silent({"--fault", "enq-silence:1000"});
  setenv("VERITOR_COM1", silent.path().c_str(), 1);

  QApplication app(argc, argv);
  SteadyTickClock clock;
  QtPump pump;
  PosixPortOpener opener;
  PosixNetwork network;
  MainWindow window({clock, pump, opener, network, "/nonexistent/"});
  PaintWatch watch;
  window.installEventFilter(&watch);
  window.show();
  while (!watch.painted) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  std::printf("start-up to window painted: %.0f ms\n", Seconds(process_start) * 1000);

  std::printf("idle window: %.2f%% of a core\n", IdleCpuShare(3.0) * 100);

  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  QTest::mouseClick(static_cast<QPushButton*>(window.Control(kIdConnect)), Qt::LeftButton);
  std::printf("waiting on a silent device: %.2f s, %.2f%% of a core\n", Seconds(start),
              (CpuSeconds() - cpu) / Seconds(start) * 100);

  const long rss_before = RssKiB();
  const auto append_start = Clock::now();
  for (int i = 0; i < 1000000; ++i) window.log().LogMessage("Replied frame [%07d/00/00/VERITOR-SIM/2.24]", i);
  QCoreApplication::processEvents();
  std::printf("1,000,000 log entries: %.2f s, %.0f MB more memory\n", Seconds(append_start),
              static_cast<double>(RssKiB() - rss_before) / 1024);
  return 0;
}
