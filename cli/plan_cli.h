#pragma once

#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "plan/plan.h"

namespace veritor::cli {

// --plan and --record: runs the plan (or, to record, the requests and file
// actions given) on each device in turn: every --address, or every device a
// --detect found, or the serial port. Prints each step's outcome and a
// summary, a table of results when there are several devices, writes the
// JUnit report (--report) and the recorded plan (--record).
// Exit status: 0 every step passed, 1 a step failed, 2 a link failed (or the
// plan file was refused).
int RunPlans(const Options& options, Environment& environment);

// --check: loads each plan and checks the files it names, without a device;
// says so for each good one on `out`, and the first fault of each other one
// on stderr ("PATH:N: why"). kExitOk, or kExitBadPlan.
int CheckPlans(const std::vector<std::string>& paths, const CodePage& page, LogSink& out);

// The plan that sends the requests and runs the file actions in order; a
// batch file's lines become requests of their own.
// Requests are written in `page`, as a plain run sends them.
std::optional<Plan> PlanFromActions(const std::vector<Action>& actions, const CodePage& page, std::string& error);

// One row a device: steps, passed, failed, time, result.
struct DeviceRow {
  std::string device;
  bool connected = false;
  uint64_t steps = 0;
  uint64_t passed = 0;
  uint64_t failed = 0;
  uint32_t elapsed_ms = 0;
  std::string result;  // "pass", "FAIL", "NO LINK"
};
std::string FormatDeviceTable(const std::vector<DeviceRow>& rows);

}  // namespace veritor::cli
