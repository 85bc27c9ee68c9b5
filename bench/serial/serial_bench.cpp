// bench_serial: the console's CPU cost on the serial link against veritor-sim
// over a real pty.
//   1. CPU time per "v" exchange (and wall time per exchange).
//   2. CPU use while waiting on a silent device (three unanswered enquiries).
// Usage: bench_serial [EXCHANGES]   (veritor-sim is taken from VERITOR_BIN or
// from the folder of this program)

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/command.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "serial/serial_link.h"
#include "bench/bench_clock.h"
#include "tests/support/process.h"
#include "tests/support/test_host.h"

namespace {

using namespace veritor;
using bench::CpuSeconds;
using bench::WallSeconds;

struct Console : test::HostRecorders {
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener opener;
  Host host = HostOn(clock, pump);
  SerialPorts ports{host, opener};
  ZReportFiles z_report{log, prompts, "/nonexistent/"};
  SerialLink link{host, ports, z_report};
  CommandExecutor executor{host, link};
};

bool OpenSimulator(Console& console, const test::SimulatorProcess& simulator) {
  setenv("VERITOR_COM1", simulator.path().c_str(), 1);
  return console.ports.OpenPort(1, 115200, 'N', 8, 1) == 1;
}

int MeasureExchanges(int exchanges) {
  test::SimulatorProcess simulator;
  Console console;
  if (simulator.path().empty() || !OpenSimulator(console, simulator)) {
    std::fprintf(stderr, "bench_serial: cannot reach veritor-sim\n");
    return 1;
  }
  std::string data;
  const double cpu_start = CpuSeconds();
  const double wall_start = WallSeconds();
  for (int i = 0; i < exchanges; ++i) {
    if (console.executor.ExecuteCommand("v", data, false) != kResultOk) {
      std::fprintf(stderr, "bench_serial: exchange %d failed\n", i);
      return 1;
    }
  }
  const double cpu = CpuSeconds() - cpu_start;
  const double wall = WallSeconds() - wall_start;
  std::printf("\"v\" exchanges over a pty:  %d\n", exchanges);
  std::printf("  console CPU per exchange: %.1f us\n", cpu / exchanges * 1e6);
  std::printf("  wall time per exchange:   %.1f us\n", wall / exchanges * 1e6);
  return 0;
}

int MeasureSilentWait() {
  test::SimulatorProcess simulator({"--fault", "enq-silence:3"});
  Console console;
  if (simulator.path().empty() || !OpenSimulator(console, simulator)) {
    std::fprintf(stderr, "bench_serial: cannot reach veritor-sim\n");
    return 1;
  }
  std::string data;
  const double cpu_start = CpuSeconds();
  const double wall_start = WallSeconds();
  const int result = console.executor.ExecuteCommand("v", data, false);
  const double cpu = CpuSeconds() - cpu_start;
  const double wall = WallSeconds() - wall_start;
  std::printf("waiting on a silent device: result %d after %.2f s\n", result, wall);
  std::printf("  console CPU while waiting: %.2f%% of a core (%.1f ms)\n", cpu / wall * 100, cpu * 1e3);
  return result == kResultEnquireFailed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  test::FindProgramsBeside(argv[0]);
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (MeasureExchanges(exchanges > 0 ? exchanges : 2000) != 0) return 1;
  return MeasureSilentWait();
}
