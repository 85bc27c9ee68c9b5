#include "cli/plan_cli.h"

#include <algorithm>
#include <cstdio>

#include "plan/junit_report.h"
#include "plan/plan_record.h"
#include "plan/plan_runner.h"
#include "net/ipv4_text.h"
#include "session/console_links.h"

namespace veritor::cli {

namespace {

class NoDisplay final : public DisplayFields {
 public:
  void SetFieldText(int, std::string_view) override {}
};

// Everything one device's run needs, made afresh for each device so that
// nothing of one link carries over to the next.
struct DeviceSession {
  DeviceSession(Environment& environment, MessageLog& log)
      : prompts(environment.prompts, &log),
        host{environment.clock, environment.pump, log, display, prompts, state, environment.control},
        links(host, environment.opener, environment.network, environment.output_directory) {}
  ConsoleState state;
  NoDisplay display;
  PlanPrompts prompts;
  Host host;
  ConsoleLinks links;
};

struct Device {
  std::string name;     // as the table shows it
  std::string address;  // for a network link
};

const char* LinkName(int link) {
  switch (link) {
    case kLinkSdnp: return "sdnp";
    case kLinkTcp: return "tcp";
    case kLinkUdp: return "udp";
    default: return "COM";
  }
}

// The devices the plan runs on, in order; false when the detection failed.
bool ChooseDevices(const Options& options, Environment& environment, std::vector<Device>& devices) {
  if (!IsNetworkLink(options.link)) {
    devices.push_back({"COM" + std::to_string(options.link), ""});
    return true;
  }
  std::vector<std::string> addresses = options.addresses;
  if (addresses.empty() && !options.address.empty()) addresses.push_back(options.address);
  if (options.detect) {
    MessageLog log(environment.log);
    DeviceSession session(environment, log);
    std::vector<Ipv4Address> found;
    if (!session.links.DetectNetworkDevices(found)) return false;
    if (addresses.empty())
      for (Ipv4Address address : found) addresses.push_back(FormatIpv4(address));
  }
  for (const std::string& address : addresses)
    devices.push_back({std::string(LinkName(options.link)) + " " + address, address});
  return true;
}

int ExitStatusOf(const DeviceRun& run) {
  if (!run.connected || run.result.no_reply > 0) return kExitLinkFailure;
  if (run.result.failed > 0) return kExitDeviceError;
  if (run.result.stopped) return kExitInterrupted;
  return kExitOk;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

DeviceRun RunOnDevice(const Options& options, Environment& environment, const Plan& plan, const Device& device,
                      PlanReporter* recorder) {
  MessageLog log(environment.log);
  DeviceSession session(environment, log);
  DeviceRun run{device.name, {}, false};
  if (!session.links.Connect(options.link, options.speed, device.address, options.details).connected) {
    log.LogMessage("Plan not run on %s: the link did not open", device.name.c_str());
    return run;
  }
  run.connected = true;
  PlanLogReporter printer(log);
  struct Both final : PlanReporter {
    PlanReporter& first;
    PlanReporter* second;
    Both(PlanReporter& a, PlanReporter* b) : first(a), second(b) {}
    void StepDone(const StepRecord& record, const StepReply& reply) override {
      first.StepDone(record, reply);
      if (second != nullptr) second->StepDone(record, reply);
    }
  } reporters(printer, recorder);
  PlanServices services{[&session] { return session.links.z_report().AFilePath(); }, &session.prompts};
  PlanRunOptions run_options{.verbose = options.details, .keep_going = options.keep_going || recorder != nullptr,
                             .record = recorder != nullptr};
  run.result = RunPlan(session.host, session.links.executor(), plan, run_options, reporters, services);
  log.LogMessage("%s", FormatPlanSummary(run.result).c_str());
  session.links.Disconnect();
  return run;
}

std::string PlanName(const Options& options) {
  const std::string& path = options.plan.empty() ? options.record : options.plan;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

DeviceRow RowOf(const DeviceRun& run) {
  DeviceRow row{run.device, run.connected, run.result.records.size(), run.result.passed,
                run.result.failed + run.result.no_reply, run.result.elapsed_ms, "pass"};
  const int status = ExitStatusOf(run);
  if (!run.connected) row.result = "NO LINK";
  else if (status == kExitLinkFailure) row.result = "FAIL (link)";
  else if (status != kExitOk) row.result = status == kExitInterrupted ? "stopped" : "FAIL";
  return row;
}

}  // namespace

std::optional<Plan> PlanFromActions(const std::vector<Action>& actions, std::string& error) {
  std::string text;
  PlanStep step;
  for (const Action& action : actions) {
    step.written = action.text;
    switch (action.kind) {
      case Action::Kind::kRequest:
        step.kind = PlanStep::Kind::kRequest;
        step.text = action.text;
        break;
      case Action::Kind::kSign: step.kind = PlanStep::Kind::kSign; break;
      case Action::Kind::kBitmap: step.kind = PlanStep::Kind::kBitmap; break;
      case Action::Kind::kBatch: {
        const FileHandle file = OpenForReading(action.text);
        if (!file) {
          error = "cannot open '" + action.text + "'";
          return std::nullopt;
        }
        std::string line;
        step.kind = PlanStep::Kind::kRequest;
        while (ReadBatchLine(file.get(), line) && !line.empty()) {
          step.text = line;
          text += FormatPlanStep(step, {}) + "\n";
        }
        continue;
      }
    }
    text += FormatPlanStep(step, {}) + "\n";
  }
  return ParsePlan(text, "", error);
}

std::string FormatDeviceTable(const std::vector<DeviceRow>& rows) {
  size_t width = 6;
  for (const DeviceRow& row : rows) width = std::max(width, row.device.size());
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %8s  %8s  %8s  %10s  %s\n", static_cast<int>(width), "device", "steps",
                "passed", "failed", "time", "result");
  std::string table = line;
  for (const DeviceRow& row : rows) {
    if (!row.connected) {
      std::snprintf(line, sizeof line, "%-*s  %8s  %8s  %8s  %10s  %s\n", static_cast<int>(width),
                    row.device.c_str(), "-", "-", "-", "-", row.result.c_str());
    } else {
      char time[32];
      std::snprintf(time, sizeof time, "%u.%03u s", row.elapsed_ms / 1000, row.elapsed_ms % 1000);
      std::snprintf(line, sizeof line, "%-*s  %8llu  %8llu  %8llu  %10s  %s\n", static_cast<int>(width),
                    row.device.c_str(), static_cast<unsigned long long>(row.steps),
                    static_cast<unsigned long long>(row.passed), static_cast<unsigned long long>(row.failed), time,
                    row.result.c_str());
    }
    table += line;
  }
  return table;
}

int RunPlans(const Options& options, Environment& environment) {
  std::string error;
  const std::optional<Plan> plan =
      options.plan.empty() ? PlanFromActions(options.actions, error) : LoadPlanFile(options.plan, error);
  if (!plan) {
    std::fprintf(stderr, "veritor-cli: %s\n", error.c_str());
    return kExitLinkFailure;
  }
  std::vector<Device> devices;
  if (!ChooseDevices(options, environment, devices)) return kExitLinkFailure;
  if (devices.empty()) {
    std::fprintf(stderr, "veritor-cli: no device to run the plan on\n");
    return kExitLinkFailure;
  }
  const bool recording = !options.record.empty();
  std::optional<PlanRecorder> recorder;
  if (recording) recorder.emplace(*plan);
  std::vector<DeviceRun> runs;
  int status = kExitOk;
  for (const Device& device : devices) {
    // Only the first device is recorded: it is the one known to be good.
    const bool record_here = recording && runs.empty();
    runs.push_back(RunOnDevice(options, environment, *plan, device, record_here ? &*recorder : nullptr));
    status = std::max(status, ExitStatusOf(runs.back()));
  }
  if (devices.size() > 1) {
    std::vector<DeviceRow> rows;
    for (const DeviceRun& run : runs) rows.push_back(RowOf(run));
    environment.log.AppendLogText(FormatDeviceTable(rows));
  }
  if (!options.report.empty() && !WriteTextFile(options.report, JUnitReport(PlanName(options), runs))) {
    std::fprintf(stderr, "veritor-cli: cannot write the report '%s'\n", options.report.c_str());
    status = std::max<int>(status, kExitLinkFailure);
  }
  if (recording && runs.front().connected) {
    const std::string text = recorder->Write(*plan, {"Recorded by veritor-cli from " + devices.front().name + ".",
                                                     "Expectations are what that device answered; edit them freely."});
    if (!WriteTextFile(options.record, text)) {
      std::fprintf(stderr, "veritor-cli: cannot write the plan '%s'\n", options.record.c_str());
      return kExitLinkFailure;
    }
    // A recording passes when every step got a reply, whatever its code.
    if (status == kExitDeviceError) status = kExitOk;
  }
  return status;
}

}  // namespace veritor::cli
