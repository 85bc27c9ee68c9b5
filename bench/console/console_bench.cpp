// bench_console: the window's costs, on the offscreen platform unless
// QT_QPA_PLATFORM says otherwise.
//   start-up: from main() to the window's first paint;
//   idle CPU of the window over 3 s;
//   CPU while the window waits 3 s on a silent device (veritor-sim on a pty
//   that never answers an enquiry);
//   time and memory to append 1,000,000 log entries;
//   CPU per serial exchange during a batch against veritor-sim, the window
//   (log, progress shown) beside veritor-cli running the same batch;
//   a 20,000-line batch with the entries' times and the raw byte view on
//   against both off.
// Usage: bench_console [BATCH_LINES [LONG_BATCH_LINES]] (2000, 20000).

#include <sys/resource.h>
#include <sys/wait.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>
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

std::string BatchFile(const std::string& folder, int lines) {
  const std::string path = folder + "/batch-" + std::to_string(lines) + ".txt";
  std::ofstream file(path);
  for (int i = 0; i < lines; ++i) file << "?\n";
  return path;
}

struct Run {
  double cpu = 0;
  double wall = 0;
};

Run WindowBatch(MainWindow& window, const std::string& path) {
  static_cast<QLineEdit*>(window.Control(kIdBatchFileName))->setText(QString::fromStdString(path));
  const double cpu = CpuSeconds();
  const double wall = WallSeconds();
  QTest::mouseClick(static_cast<QPushButton*>(window.Control(kIdRunBatch)), Qt::LeftButton);
  return {CpuSeconds() - cpu, WallSeconds() - wall};
}

// veritor-cli with these arguments on COM1 at `device`: its CPU alone, from wait4.
Run CliRun(const std::vector<std::string>& arguments, const std::string& device) {
  std::vector<std::string> argv = {test::BinaryPath("veritor-cli"), "--link", "COM1"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const int devnull = open("/dev/null", O_WRONLY);
  const double wall = WallSeconds();
  const pid_t pid = test::Spawn(argv, {"VERITOR_COM1=" + device}, devnull, devnull);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  close(devnull);
  return {static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
          WallSeconds() - wall};
}

// veritor-cli on its own veritor-sim.
Run CliBatch(const std::string& path, bool details) {
  test::SimulatorProcess sim;
  std::vector<std::string> arguments = {"--batch", path};
  if (details) arguments.insert(arguments.begin(), "--details");
  return CliRun(arguments, sim.path());
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
  test::FindProgramsBeside(argv[0]);
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
  std::printf("start-up to window painted: %.0f ms (CPU %.0f ms)\n", Seconds(process_start) * 1000,
              CpuSeconds() * 1000);

  std::printf("idle window: %.2f%% of a core\n", IdleCpuShare(3.0) * 100);

  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  QTest::mouseClick(static_cast<QPushButton*>(window.Control(kIdConnect)), Qt::LeftButton);
  std::printf("waiting on a silent device: %.2f s, %.2f%% of a core\n", Seconds(start),
              (CpuSeconds() - cpu) / Seconds(start) * 100);
  {
    // veritor-cli's connect on a device of its own that is silent in the same way.
    test::SimulatorProcess cli_silent({"--fault", "enq-silence:1000"});
    const Run run = CliRun({"v"}, cli_silent.path());
    std::printf("veritor-cli waiting on a silent device: %.2f s, %.2f%% of a core\n", run.wall,
                run.cpu / run.wall * 100);
  }

  // With the entries' times shown, as the operator at the bench has them; CPU time beside the wall's, as the
  // machine may be shared.
  window.ShowTimestamps(true);
  const long rss_before = RssKiB();
  const auto append_start = Clock::now();
  const double append_cpu = CpuSeconds();
  for (int i = 0; i < 1000000; ++i) window.log().LogMessage("Replied frame [%07d/00/00/VERITOR-SIM/2.24]", i);
  QCoreApplication::processEvents();
  std::printf("1,000,000 log entries, times shown: %.2f s (CPU %.2f s), %.0f MB more memory\n",
              Seconds(append_start), CpuSeconds() - append_cpu, static_cast<double>(RssKiB() - rss_before) / 1024);

  const int lines = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int long_lines = argc > 2 ? std::atoi(argv[2]) : 20000;
  char folder_pattern[] = "/tmp/bench-console-XXXXXX";
  const std::string folder = mkdtemp(folder_pattern);
  const std::string batch = BatchFile(folder, lines);
  test::SimulatorProcess live;
  setenv("VERITOR_COM2", live.path().c_str(), 1);
  MainWindow device_window({clock, pump, opener, network, folder + "/"});
  device_window.resize(900, 700);
  device_window.show();
  auto* ports = static_cast<QComboBox*>(device_window.Control(kIdPortList));
  ports->setCurrentIndex(1);
  emit ports->activated(1);
  QTest::mouseClick(static_cast<QPushButton*>(device_window.Control(kIdConnect)), Qt::LeftButton);
  if (!device_window.state().Connected) {
    std::printf("cannot connect to veritor-sim on COM2\n");
    return 1;
  }
  std::printf("batch of %d lines against veritor-sim, CPU per exchange (wall per exchange), best of 3:\n", lines);
  for (bool details : {false, true}) {
    static_cast<QCheckBox*>(device_window.Control(kIdDetails))->setChecked(details);
    Run window_run{1e9, 1e9}, cli_run{1e9, 1e9};
    for (int round = 0; round < 3; ++round) {
      const Run window_now = WindowBatch(device_window, batch);
      const Run cli_now = CliBatch(batch, details);
      if (window_now.cpu < window_run.cpu) window_run = window_now;
      if (cli_now.cpu < cli_run.cpu) cli_run = cli_now;
    }
    std::printf("  Details %-3s  window %.3f ms (%.3f ms), veritor-cli %.3f ms (%.3f ms): %.2fx\n",
                details ? "on" : "off", window_run.cpu * 1000 / lines, window_run.wall * 1000 / lines,
                cli_run.cpu * 1000 / lines, cli_run.wall * 1000 / lines, window_run.cpu / cli_run.cpu);
  }

  // Off and on in turn, twice, the faster of each counted.
  static_cast<QCheckBox*>(device_window.Control(kIdDetails))->setChecked(false);
  const std::string long_batch = BatchFile(folder, long_lines);
  Run best[2] = {{1e9, 1e9}, {1e9, 1e9}};
  for (int round = 0; round < 4; ++round) {
    const bool on = round % 2 == 1;
    device_window.ShowTimestamps(on);
    device_window.ShowRawBytes(on);
    const Run run = WindowBatch(device_window, long_batch);
    best[on].wall = std::min(best[on].wall, run.wall);
    best[on].cpu = std::min(best[on].cpu, run.cpu);
  }
  std::printf("batch of %d lines, times and raw view off: %.2f s (CPU %.2f s); on: %.2f s (CPU %.2f s): %+.1f%%\n",
              long_lines, best[0].wall, best[0].cpu, best[1].wall, best[1].cpu,
              (best[1].wall / best[0].wall - 1) * 100);
  std::filesystem::remove_all(folder);
  return 0;
}
