// bench_plan: a plan of N steps against a batch of the same N requests over
// the same link, side by side in one run, each the best of three rounds.
//   1. The in-process simulated device on the serial line (virtual clock):
//      the console's own CPU cost, where the plan's extra work shows most.
//   2. veritor-sim's UDP device on loopback (with --pty: over a real pty,
//      about 4 ms an exchange, so 10,000 steps take two minutes a round).
// Every step is "~/i/32", whose reply the plan checks by a regular expression
// ("i/.{32}"); a second plan checks the exact 32 characters instead.
// Usage: bench_plan [--pty] [STEPS]   (default 10000)

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_clock.h"
#include "core/batch.h"
#include "plan/plan_runner.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "session/console_links.h"
#include "sim/device_model.h"
#include "sim/in_process.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace {

using namespace veritor;
using bench::CpuSeconds;
using bench::WallSeconds;

// Formats every log text as the command-line console would, and drops it.
struct DiscardingLog final : LogSink {
  void AppendLogText(std::string_view text, LogText) override { bytes += text.size(); }
  size_t bytes = 0;
};

struct Files {
  test::TempDir dir;
  std::string batch, regex_plan, exact_plan;
};

void WriteFiles(Files& files, int steps) {
  std::string batch, regex_plan, exact_plan;
  for (int i = 1; i <= steps; ++i) {
    const std::string request = "~/" + std::to_string(i) + "/32";
    batch += request + "\n";
    regex_plan += request + " => 00 data~\"" + std::to_string(i) + "/.{32}\"\n";
    exact_plan += request + " => 00 data=" + QuoteText(std::to_string(i) + "/" + sim::EchoPayload(i, 32)) + "\n";
  }
  files.batch = files.dir.file("batch.txt");
  files.regex_plan = files.dir.file("regex.plan");
  files.exact_plan = files.dir.file("exact.plan");
  test::WriteFile(files.batch, batch);
  test::WriteFile(files.regex_plan, regex_plan);
  test::WriteFile(files.exact_plan, exact_plan);
}

// Wall time and this process's CPU time of one run, in seconds.
struct Timing {
  double wall = 1e9;
  double cpu = 1e9;
  void KeepBest(const Timing& other) {
    wall = std::min(wall, other.wall);
    cpu = std::min(cpu, other.cpu);
  }
};

class Stopwatch {
 public:
  Timing Elapsed() const { return {WallSeconds() - wall_, CpuSeconds() - cpu_}; }

 private:
  double wall_ = WallSeconds();
  double cpu_ = CpuSeconds();
};

struct NullDisplay final : DisplayFields {
  void SetFieldText(int, std::string_view) override {}
};

// The console on one link: the batch and the plans run through the same links.
struct Console {
  Console(TickClock& clock, MessagePump& pump, PortOpener& opener)
      : host{clock, pump, log, display, prompts, state}, links(host, opener, network, "/nonexistent/") {}
  DiscardingLog sink;
  MessageLog log{sink};
  NullDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  PosixNetwork network;
  Host host;
  ConsoleLinks links;

  Timing Batch(const std::string& path) {
    const Stopwatch watch;
    const ActionOutcome outcome = RunBatchFile(host, links.executor(), path, false);
    if (outcome != ActionOutcome::kAnswered) std::fprintf(stderr, "bench_plan: the batch failed\n");
    return watch.Elapsed();
  }
  Timing RunPlanFile(const std::string& path) {
    const Stopwatch watch;
    std::string error;
    const auto plan = LoadPlanFile(path, error);
    PlanLogReporter reporter(log);
    const PlanRunResult result = plan ? RunPlan(host, links.executor(), *plan, {}, reporter) : PlanRunResult{};
    const Timing elapsed = watch.Elapsed();
    if (!plan || !result.AllPassed() || result.passed == 0)
      std::fprintf(stderr, "bench_plan: the plan failed %s\n", error.c_str());
    return elapsed;
  }
};

void Print(const char* what, const Timing& timing, const Timing& batch, int steps) {
  std::printf("  %-20s %7.3f s wall %+6.1f%%   %7.1f us CPU a step %+6.1f%%\n", what, timing.wall,
              (timing.wall / batch.wall - 1) * 100, timing.cpu / steps * 1e6, (timing.cpu / batch.cpu - 1) * 100);
}

void Compare(const char* link, Console& console, const Files& files, int steps, int rounds) {
  Timing batch, regex, exact;
  for (int round = 0; round < rounds; ++round) {
    batch.KeepBest(console.Batch(files.batch));
    regex.KeepBest(console.RunPlanFile(files.regex_plan));
    exact.KeepBest(console.RunPlanFile(files.exact_plan));
  }
  std::printf("%s, %d steps (best of %d):\n", link, steps, rounds);
  Print("batch", batch, batch, steps);
  Print("plan, data~pattern", regex, batch, steps);
  Print("plan, data=exact", exact, batch, steps);
}

int InProcess(const Files& files, int steps) {
  VirtualTickClock clock;
  sim::InProcessSerial serial(clock);
  serial.model().KeepHistory(false);
  Console console(clock, serial.pump(), serial.opener());
  if (!console.links.Connect(1, 115200, "", false).connected) return 1;
  Compare("in-process serial device", console, files, steps, 3);
  return 0;
}

// veritor-sim on a real link: its UDP device on loopback, or its pty.
int AgainstSimulator(bool pty, const Files& files, int steps) {
  const char* address = "127.0.0.61";
  test::SimulatorProcess simulator(pty ? std::vector<std::string>{} : std::vector<std::string>{"--no-serial", "--udp", address});
  if (!simulator.ready(1)) {
    std::fprintf(stderr, "bench_plan: cannot start veritor-sim\n");
    return 1;
  }
  if (pty) setenv("VERITOR_COM1", simulator.path().c_str(), 1);
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener opener;
  Console console(clock, pump, opener);
  if (!console.links.Connect(pty ? 1 : kLinkUdp, 115200, address, false).connected) return 1;
  Compare(pty ? "veritor-sim over a pty" : "veritor-sim over UDP on loopback", console, files, steps, pty ? 1 : 3);
  console.links.Disconnect();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  test::FindProgramsBeside(argv[0]);
  const bool pty = argc > 1 && std::string(argv[1]) == "--pty";
  const int steps = argc > 1 + pty && std::atoi(argv[1 + pty]) > 0 ? std::atoi(argv[1 + pty]) : 10000;
  Files files;
  WriteFiles(files, steps);
  if (InProcess(files, steps) != 0) return 1;
  return AgainstSimulator(pty, files, steps);
}
