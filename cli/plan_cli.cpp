#include "cli/plan_cli.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

// Passes the log on and keeps what one step writes, for the report of a
// step that does not pass.
class StepLogTap final : public LogSink {
 public:
  static constexpr size_t kKept = 16 * 1024;
  explicit StepLogTap(LogSink& out) : out_(out) {}
  void AppendLogText(std::string_view text, LogText origin) override {
    out_.AppendLogText(text, origin);
    for (char c : text) {
      if (kept_.size() >= kKept) break;
      if (c != '\r') kept_ += c;
    }
  }
  void Clear() { kept_.clear(); }
  std::string Kept() const { return kept_.size() < kKept ? kept_ : kept_ + "\n(cut at 16 KB)"; }

 private:
  LogSink& out_;
  std::string kept_;
};

// Everything one device's run needs, made afresh for each device so that
// nothing of one link carries over to the next.
struct DeviceSession {
  DeviceSession(Environment& environment, MessageLog& log)
      : prompts(environment.prompts, &log),
        host{environment.clock, environment.pump, log, display, prompts, state, environment.control},
        links(host, environment.opener, environment.network, environment.output_directory) {
    links.z_report().SetCodePage(environment.code_page);
  }
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
  if (run.result.failed > 0 || run.result.finally_failed > 0) return kExitDeviceError;
  if (run.result.stopped) return kExitInterrupted;
  return kExitOk;
}

// Empty when the whole text reached the disk, else why not.
std::string WriteTextFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  const int write_error = errno;
  if (std::fclose(file) != 0) return std::strerror(errno);
  return written ? std::string() : std::strerror(write_error != 0 ? write_error : EIO);
}

// "2026-12-07T14:03:07", local time, as JUnit readers take it.
std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

DeviceRun RunOnDevice(const Options& options, Environment& environment, const Plan& plan, const Device& device,
                      PlanReporter* recorder) {
  StepLogTap tap(environment.log);
  MessageLog log(tap);
  DeviceSession session(environment, log);
  DeviceRun run;
  run.device = device.name;
  run.connected = false;
  run.timestamp = Timestamp();
  run.hostname = HostName();
  run.properties.emplace_back("link", IsNetworkLink(options.link) ? LinkName(options.link) : device.name);
  if (IsNetworkLink(options.link)) run.properties.emplace_back("address", device.address);
  else if (!options.device_path.empty()) run.properties.emplace_back("port", options.device_path);
  session.links.tcp().SetReplyEnd(options.tcp_reply_end);
  if (!session.links.Connect(options.link, options.speed, device.address, options.details).connected) {
    log.LogMessage("Plan not run on %s: the link did not open", device.name.c_str());
    return run;
  }
  run.connected = true;
  if (!options.report.empty()) {
    // The report names the device as it names itself.
    std::string version;
    if (session.links.executor().ExecuteCommand("v", version, options.details) == kResultOk)
      run.properties.emplace_back("device", version);
  }
  PlanLogReporter printer(log);
  // The progress line: the plan's steps, or the file action under way with its own time left.
  TerminalControl* control = environment.control;
  const uint32_t plan_started = control ? control->Now() : 0;
  if (control) control->BeginAction("plan");
  struct Both final : PlanReporter {
    PlanReporter& first;
    PlanReporter* second;
    TerminalControl* control;
    uint32_t plan_started;
    Both(PlanReporter& a, PlanReporter* b, TerminalControl* c, uint32_t started)
        : first(a), second(b), control(c), plan_started(started) {}
    void StepDone(const StepRecord& record, const StepReply& reply) override {
      if (control) control->ResumeAction("plan", plan_started);
      first.StepDone(record, reply);
      if (second != nullptr) second->StepDone(record, reply);
    }
  } reporters(printer, recorder, control, plan_started);
  const auto step_begins = [&tap, control](const PlanStep& step) {
    tap.Clear();
    if (control == nullptr) return;
    if (step.kind == PlanStep::Kind::kSign) control->BeginAction("sign");
    if (step.kind == PlanStep::Kind::kBitmap) control->BeginAction("bmp");
    if (step.kind == PlanStep::Kind::kBatch) control->BeginAction("batch");
  };
  PlanServices services{[&session] { return session.links.z_report().AFilePath(); }, &session.prompts,
                        step_begins, [&tap] { return tap.Kept(); }};
  const CodePage page = CodePage::Find(options.code_page).value_or(environment.code_page);
  PlanRunOptions run_options{.verbose = options.details, .keep_going = options.keep_going || recorder != nullptr,
                             .record = recorder != nullptr, .page = &page};
  run.result = RunPlan(session.host, session.links.executor(), plan, run_options, reporters, services);
  log.LogMessage("%s", FormatPlanSummary(run.result).c_str());
  session.links.z_report().EndOfRun();
  session.links.Disconnect();
  return run;
}

std::string PlanName(const Options& options) {
  const std::string& path = options.plan.empty() ? options.record : options.plan;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

DeviceRow RowOf(const DeviceRun& run) {
  DeviceRow row{run.device, run.connected, run.result.executed, run.result.passed,
                run.result.failed + run.result.no_reply + run.result.stopped_steps, run.result.elapsed_ms, "pass"};
  const int status = ExitStatusOf(run);
  if (!run.connected) row.result = "NO LINK";
  else if (status == kExitLinkFailure) row.result = "FAIL (link)";
  else if (status != kExitOk) row.result = status == kExitInterrupted ? "stopped" : "FAIL";
  return row;
}

}  // namespace

std::optional<Plan> PlanFromActions(const std::vector<Action>& actions, const CodePage& page, std::string& error) {
  std::string text;
  PlanStep step;
  for (const Action& action : actions) {
    step.files.Edit().written = action.text;
    step.text = action.text;
    switch (action.kind) {
      case Action::Kind::kRequest: {
        step.kind = PlanStep::Kind::kRequest;
        std::string refused;
        const auto bytes = page.FromUtf8(action.text, refused);
        if (!bytes) {
          error = "request '" + action.text + "': " + refused + " cannot be written in code page " +
                  std::to_string(page.number());
          return std::nullopt;
        }
        step.text = *bytes;
        break;
      }
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

std::string CheckPlanFiles(const Plan& plan, const std::string& source) {
  std::string problems;
  ForEachStep(plan, [&](const PlanStep& step) {
    const bool names_file = step.kind == PlanStep::Kind::kSign || step.kind == PlanStep::Kind::kBitmap ||
                            step.kind == PlanStep::Kind::kBatch;
    const std::string path = names_file ? step.text.str() : step.zreport().a_file;
    if (path.empty() || (!names_file && step.kind != PlanStep::Kind::kZReport) || !problems.empty()) return;
    if (const std::string problem = ReadableFileProblem(path); !problem.empty())
      problems = source + ":" + std::to_string(step.line) + ": cannot read '" + path + "': " + problem;
  });
  return problems;
}

int CheckPlans(const std::vector<std::string>& paths, const CodePage& page, LogSink& out) {
  int status = kExitOk;
  for (const std::string& path : paths) {
    std::string error;
    const std::optional<Plan> plan = LoadPlanFile(path, error, &page);
    if (plan) error = CheckPlanFiles(*plan, path);
    if (!error.empty()) {
      std::fprintf(stderr, "veritor-cli: %s\n", error.c_str());
      status = kExitBadPlan;
      continue;
    }
    out.AppendLogText(path + ": " + std::to_string(plan->step_count) + " steps, good\n", LogText::kHost);
  }
  return status;
}

int RunPlans(const Options& options, Environment& environment) {
  std::string error;
  const CodePage page = CodePage::Find(options.code_page).value_or(environment.code_page);
  std::optional<Plan> plan = options.plan.empty() ? PlanFromActions(options.actions, page, error)
                                                  : LoadPlanFile(options.plan, error, &page);
  // Everything the plan reads and writes is checked before the device is touched.
  if (plan && !options.plan.empty()) error = CheckPlanFiles(*plan, options.plan);
  for (const std::string* output : {&options.report, &options.record}) {
    if (!plan || !error.empty() || output->empty()) continue;
    if (const std::string problem = WritableFileProblem(*output); !problem.empty())
      error = "cannot write '" + *output + "': " + problem;
  }
  if (error.empty() && !options.record.empty() && !options.plan.empty() &&
      (options.record == options.plan || SameFile(options.record, options.plan)))
    error = "--record " + options.record + " would overwrite the plan it runs";
  if (!plan || !error.empty()) {
    std::fprintf(stderr, "veritor-cli: %s\n", error.c_str());
    return kExitLinkFailure;
  }
  std::vector<Device> devices;
  const bool detected = ChooseDevices(options, environment, devices);
  if (!detected || devices.empty()) {
    const char* why = detected ? "no device to run the plan on" : "the detection of devices failed";
    std::fprintf(stderr, "veritor-cli: %s\n", why);
    DeviceRun none;
    none.device = "detection";
    none.connected = false;
    none.no_link = why;
    none.timestamp = Timestamp();
    none.hostname = HostName();
    none.properties.emplace_back("link", LinkName(options.link));
    if (!options.report.empty()) {
      if (const std::string problem = WriteTextFile(options.report, JUnitReport(PlanName(options), {none}));
          !problem.empty())
        std::fprintf(stderr, "veritor-cli: cannot write the report '%s': %s\n", options.report.c_str(),
                     problem.c_str());
    }
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
    environment.log.AppendLogText(FormatDeviceTable(rows), LogText::kHost);
  }
  if (!options.report.empty()) {
    if (const std::string problem = WriteTextFile(options.report, JUnitReport(PlanName(options), runs));
        !problem.empty()) {
      std::fprintf(stderr, "veritor-cli: cannot write the report '%s': %s\n", options.report.c_str(),
                   problem.c_str());
      status = std::max<int>(status, kExitLinkFailure);
    }
  }
  if (recording && runs.front().connected) {
    const size_t slash = options.record.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : options.record.substr(0, slash + 1);
    const std::string text = recorder->Write(*plan,
                                             {"Recorded by veritor-cli from " + devices.front().name + ".",
                                              "Expectations are what that device answered; edit them freely."},
                                             folder);
    if (const std::string problem = WriteTextFile(options.record, text); !problem.empty()) {
      std::fprintf(stderr, "veritor-cli: cannot write the plan '%s': %s\n", options.record.c_str(), problem.c_str());
      return kExitLinkFailure;
    }
    // A recording passes when every step got a reply, whatever its code.
    if (status == kExitDeviceError) status = kExitOk;
  }
  return status;
}

}  // namespace veritor::cli
