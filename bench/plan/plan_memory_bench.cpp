// bench_plan_memory: what a long plan and a long run cost in memory.
//   1. Loading a plan of N lines (default 1,000,000): bare requests, requests
//      with an exact reply and with a pattern, in turn. Goal: at most 100 MB.
//   2. Running a repeat block N times against the simulated device's model
//      behind the command executor (no link, which would keep the wire's bytes
//      in process), its results kept as the front ends keep them. Goal: at
//      most 10 MB.
// Each figure is the growth of the resident set (and of its peak) over the step.
// Usage: bench_plan_memory [LINES]

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "plan/plan_runner.h"
#include "sim/device_model.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace {

using namespace veritor;

double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * 4096 / (1 << 20);
}

double PeakMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

struct DiscardingLog final : LogSink {
  void AppendLogText(std::string_view, veritor::LogText) override {}
};

struct NullDisplay final : DisplayFields {
  void SetFieldText(int, std::string_view) override {}
};

// The device's model answering each request at once.
struct ModelLink final : LinkTransaction {
  sim::DeviceModel model;
  int Transact(const std::string& request, std::string& reply, bool) override {
    reply = model.Handle(request);
    return kResultOk;
  }
};

void Report(const char* what, double before, double after, double peak_before, double peak_after, uint64_t n,
            double goal_mb) {
  const double grown = after - before;
  std::printf("  %-44s %8.1f MB (%6.1f bytes each), peak +%8.1f MB   goal %5.0f MB: %s\n", what, grown,
              grown * (1 << 20) / static_cast<double>(n), peak_after - peak_before, goal_mb,
              grown <= goal_mb ? "met" : "MISSED");
}

int LoadPlan(uint64_t lines) {
  test::TempDir dir;
  const std::string path = dir.file("long.plan");
  {
    std::ofstream out(path);
    for (uint64_t i = 0; i < lines; ++i) {
      switch (i % 3) {
        case 0: out << "v\n"; break;
        case 1: out << "~/" << i % 1000 << "/8 => 00 data=\"" << i % 1000 << "/abcdefgh\"\n"; break;
        default: out << "~/" << i % 1000 << "/8 => 00 data~\"" << i % 1000 << "/.{8}\"\n"; break;
      }
    }
  }
  malloc_trim(0);
  const double before = ResidentMb(), peak_before = PeakMb();
  std::string error;
  const auto plan = LoadPlanFile(path, error);
  if (!plan) {
    std::fprintf(stderr, "bench_plan_memory: %s\n", error.c_str());
    return 1;
  }
  malloc_trim(0);
  Report(("loading a plan of " + std::to_string(lines) + " lines").c_str(), before, ResidentMb(), peak_before,
         PeakMb(), lines, 100);
  return 0;
}

int RunRepeat(uint64_t runs) {
  VirtualTickClock clock;
  test::ClockPump pump(clock);
  ModelLink link;
  link.model.KeepHistory(false);
  DiscardingLog sink;
  MessageLog log(sink);
  NullDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, pump, log, display, prompts, state};
  CommandExecutor executor(host, link);
  std::string error;
  const auto plan = ParsePlan(".repeat " + std::to_string(runs) + "\n  v => 00\n  ~/1/4 => data~\"1/.{4}\"\n.end\n",
                              "", error);
  if (!plan) return 1;
  PlanLogReporter reporter(log);
  malloc_trim(0);
  const double before = ResidentMb(), peak_before = PeakMb();
  const PlanRunResult result = RunPlan(host, executor, *plan, {}, reporter);
  malloc_trim(0);
  if (!result.AllPassed()) std::fprintf(stderr, "bench_plan_memory: the run failed\n");
  Report(("running a repeat block " + std::to_string(runs) + " times").c_str(), before, ResidentMb(), peak_before,
         PeakMb(), runs, 10);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n = argc > 1 && std::atoll(argv[1]) > 0 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::printf("plan memory, %llu:\n", static_cast<unsigned long long>(n));
  if (LoadPlan(n) != 0) return 1;
  return RunRepeat(n);
}
