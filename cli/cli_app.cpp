#include "cli/cli_app.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/batch.h"
#include "core/bitmap.h"
#include "core/file_signing.h"
#include "cli/plan_cli.h"
#include "core/log_entries.h"
#include "session/console_links.h"
#include "net/ipv4_text.h"
#include "platform/serial_enum.h"

namespace veritor::cli {

namespace {

constexpr int kMaxComPort = 12;
constexpr unsigned long kMaxSpeed = 4000000;
constexpr uint32_t kRedrawMs = 100;  // the progress line is drawn at most this often

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) return false;
  value = std::strtoul(text.c_str(), nullptr, 10);
  return value >= 1 && value <= max;
}

// COM1 to COM12, or one of the network links.
bool ParseLink(const std::string& text, int& link) {
  const struct {
    const char* name;
    int link;
  } network_links[] = {{"sdnp", kLinkSdnp}, {"tcp", kLinkTcp}, {"udp", kLinkUdp}};
  for (const auto& entry : network_links) {
    if (strcasecmp(text.c_str(), entry.name) == 0) {
      link = entry.link;
      return true;
    }
  }
  unsigned long number = 0;
  if (text.size() < 4 || strncasecmp(text.c_str(), "COM", 3) != 0) return false;
  if (!ParseNumber(text.substr(3), kMaxComPort, number)) return false;
  link = static_cast<int>(number);
  return true;
}

// Empty when the file opens for reading and is a regular file, else why not.
// O_NONBLOCK: opening a FIFO must not wait for a writer.
std::string FileProblem(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat info {};
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  close(fd);
  if (!regular) return S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
  return {};
}

// "512 B", "9.0 KB", "3.2 MB".
std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

// "0:05", "12:30", "1:02:03".
std::string FormatDuration(uint64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60), static_cast<unsigned>(seconds % 60));
  }
  return text;
}

// Texts of message boxes use CR LF; a terminal wants LF.
std::string ForTerminal(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

ActionOutcome SendRequest(CommandExecutor& executor, const std::string& request, bool verbose) {
  std::string data;
  if (executor.ExecuteCommand(request, data, verbose) != kResultOk) return ActionOutcome::kLinkFailure;
  return executor.ReplyErrorCode() != 0 ? ActionOutcome::kDeviceError : ActionOutcome::kAnswered;
}

ActionOutcome RunAction(const Action& action, Host& host, CommandExecutor& executor, const CodePage& page,
                        bool verbose) {
  switch (action.kind) {
    case Action::Kind::kBatch: return RunBatchFile(host, executor, action.text, verbose);
    case Action::Kind::kSign: return SignFile(host, executor, action.text, verbose);
    case Action::Kind::kBitmap: return UploadBitmapFile(host, executor, action.text, verbose);
    case Action::Kind::kRequest: break;
  }
  const std::optional<std::string> request = EncodeRequest(page, host.log, action.text);
  if (!request) return ActionOutcome::kRefused;
  return SendRequest(executor, *request, verbose);
}

int ExitStatusOf(ActionOutcome outcome) {
  switch (outcome) {
    case ActionOutcome::kDeviceError:
    case ActionOutcome::kAnsweredCut: return kExitDeviceError;
    case ActionOutcome::kLinkFailure:
    case ActionOutcome::kRefused: return kExitLinkFailure;
    case ActionOutcome::kStopped: return kExitInterrupted;
    case ActionOutcome::kAnswered:
    case ActionOutcome::kIgnored: break;
  }
  return kExitOk;
}

class NoDisplay final : public DisplayFields {
 public:
  void SetFieldText(int, std::string_view) override {}
};

}  // namespace

std::string UsageText() {
  return "usage: veritor-cli [OPTION]... [REQUEST | --batch FILE | --sign FILE | --bmp FILE]... [-- REQUEST...]\n"
         "       veritor-cli [OPTION]... --plan FILE [--report JUNIT.xml] [--keep-going]\n"
         "       veritor-cli [OPTION]... --record PLAN (--plan FILE | REQUEST... | --batch FILE ...)\n"
         "Connects to the device, runs the requests and file actions in the order given, disconnects.\n"
         "\n"
         "  --link COMn|PATH|sdnp|tcp|udp  the link (COM1); a device path (/dev/ttyUSB0) is opened as COM1\n"
         "  --address IPV4    the network device's address; with --plan, given again for each device\n"
         "  --detect          find SDNP devices first (a broadcast); the first one found is used\n"
         "  --speed BAUD      the serial speed (115200)\n"
         "  --details         log the request and reply frames too\n"
         "  --answer yes|no   the answer to the Z-report question (else asked on the terminal, else No)\n"
         "  --code-page N     the device's code page (else VERITOR_CODE_PAGE, else 1253)\n"
         "  --batch FILE      send the file's lines as requests, as \"Run batch\" does\n"
         "  --sign FILE       have the device sign the file, as \"Sign File\" does\n"
         "  --bmp FILE        upload a 1-bit BMP of at most 256 x 256 into bitmap slot 1\n"
         "  --plan FILE       run a test plan: each step's reply checked against what it expects\n"
         "  --report FILE     write the plan's outcome as JUnit XML\n"
         "  --keep-going      run on after a failed step\n"
         "  --record FILE     write a plan whose expectations are what the device answered\n"
         "  --log FILE        also append the log to FILE, each entry with its date and time\n"
         "  --timestamps      the time before each log line on stdout\n"
         "  --list-ports      list COM1 to COM12 and the serial devices there are, then end\n"
         "  -h, --help        this text\n"
         "  -V, --version     the version\n"
         "\n"
         "A request that starts with '-' goes after \"--\". Ctrl-C stops after the exchange under way.\n"
         "Exit status: 0 all replies good (every plan step passed), 1 a device error (a step failed),\n"
         "2 a link failure or a refused file, 64 bad usage, 130 stopped by a signal.\n"
         "A batch line longer than 1500 bytes is sent as its first 1500, and the exit status is 1.\n";
}

std::string VersionText() { return std::string("veritor-cli ") + VERITOR_VERSION + "\n"; }

namespace {

// Codes of the long options that have no short form.
enum OptionCode : int {
  kOptionLink = 256,
  kOptionAddress,
  kOptionDetect,
  kOptionSpeed,
  kOptionDetails,
  kOptionAnswer,
  kOptionBatch,
  kOptionSign,
  kOptionBitmap,
  kOptionLog,
  kOptionTimestamps,
  kOptionListPorts,
  kOptionCodePage,
  kOptionPlan,
  kOptionRecord,
  kOptionReport,
  kOptionKeepGoing,
};

// A new option is one entry here and one case in ApplyOption.
constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"link", required_argument, nullptr, kOptionLink},
    {"address", required_argument, nullptr, kOptionAddress},
    {"detect", no_argument, nullptr, kOptionDetect},
    {"speed", required_argument, nullptr, kOptionSpeed},
    {"details", no_argument, nullptr, kOptionDetails},
    {"answer", required_argument, nullptr, kOptionAnswer},
    {"batch", required_argument, nullptr, kOptionBatch},
    {"sign", required_argument, nullptr, kOptionSign},
    {"bmp", required_argument, nullptr, kOptionBitmap},
    {"log", required_argument, nullptr, kOptionLog},
    {"timestamps", no_argument, nullptr, kOptionTimestamps},
    {"list-ports", no_argument, nullptr, kOptionListPorts},
    {"code-page", required_argument, nullptr, kOptionCodePage},
    {"plan", required_argument, nullptr, kOptionPlan},
    {"record", required_argument, nullptr, kOptionRecord},
    {"report", required_argument, nullptr, kOptionReport},
    {"keep-going", no_argument, nullptr, kOptionKeepGoing},
    {nullptr, 0, nullptr, 0},
};

// "-" first: the requests come back in their place as argument 1; ":" next:
// a missing value comes back as ':'.
constexpr const char* kShortOptions = "-:hV";
constexpr int kRequestArgument = 1;

// Empty, or what is wrong with the option's value.
std::string ApplyOption(int code, const std::string& value, Options& options) {
  switch (code) {
    case 'h': options.help = true; break;
    case 'V': options.version = true; break;
    case kRequestArgument: options.actions.push_back({Action::Kind::kRequest, value}); break;
    case kOptionLink:
      if (value.find('/') != std::string::npos) {
        options.link = 1;
        options.device_path = value;
      } else if (ParseLink(value, options.link)) {
        options.device_path.clear();
      } else {
        return "--link takes COM1 to COM12, a device path, sdnp, tcp or udp, not '" + value + "'";
      }
      break;
    case kOptionAddress:
      options.address = value;
      options.addresses.push_back(value);
      break;
    case kOptionDetect: options.detect = true; break;
    case kOptionSpeed:
      if (!ParseNumber(value, kMaxSpeed, options.speed))
        return "--speed takes a number of bits per second, not '" + value + "'";
      break;
    case kOptionDetails: options.details = true; break;
    case kOptionAnswer:
      if (value != "yes" && value != "no") return "--answer takes yes or no, not '" + value + "'";
      options.answer = value == "yes";
      break;
    case kOptionBatch: options.actions.push_back({Action::Kind::kBatch, value}); break;
    case kOptionSign: options.actions.push_back({Action::Kind::kSign, value}); break;
    case kOptionBitmap: options.actions.push_back({Action::Kind::kBitmap, value}); break;
    case kOptionLog:
      if (value.empty()) return "--log needs a file name";
      options.log_file = value;
      break;
    case kOptionTimestamps: options.timestamps = true; break;
    case kOptionListPorts: options.list_ports = true; break;
    case kOptionCodePage: {
      unsigned long number = 0;
      if (!ParseNumber(value, 65535, number) || !CodePage::Find(static_cast<unsigned>(number)))
        return "--code-page takes one of " + CodePage::KnownNumbers() + ", not '" + value + "'";
      options.code_page = static_cast<unsigned>(number);
      break;
    }
    case kOptionPlan: options.plan = value; break;
    case kOptionRecord: options.record = value; break;
    case kOptionReport: options.report = value; break;
    case kOptionKeepGoing: options.keep_going = true; break;
    default: return "unhandled option";
  }
  return {};
}

// The option getopt_long stopped at, as the user wrote it.
std::string OffendingOption(const std::vector<char*>& argv) {
  const int index = std::clamp(optind - 1, 1, static_cast<int>(argv.size()) - 2);
  if (optopt != 0 && optopt < 256 && argv[static_cast<size_t>(index)][1] != '-') {
    return std::string("-") + static_cast<char>(optopt);
  }
  return argv[static_cast<size_t>(index)];
}

std::string CheckCombination(const Options& options) {
  if (options.help || options.version || options.list_ports) return {};
  if (!options.plan.empty() && !options.actions.empty()) return "--plan takes no requests or file actions besides it";
  if (options.actions.empty() && !options.detect && options.plan.empty()) return "no request given";
  if (IsNetworkLink(options.link) && options.address.empty() && !options.detect)
    return "a network link needs --address (or --detect)";
  return {};
}

}  // namespace

std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error) {
  // getopt_long wants argv: copies it may reorder, program name first.
  std::vector<std::string> storage = {"veritor-cli"};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());

  Options options;
  optind = 0;  // glibc: start afresh, as the previous parse may have stopped anywhere
  opterr = 0;
  for (int code; (code = getopt_long(argc, argv.data(), kShortOptions, kLongOptions, nullptr)) != -1;) {
    if (code == '?') {
      error = "unknown option " + OffendingOption(argv);
      return std::nullopt;
    }
    if (code == ':') {
      error = "missing value for " + OffendingOption(argv);
      return std::nullopt;
    }
    error = ApplyOption(code, optarg != nullptr ? optarg : "", options);
    if (!error.empty()) return std::nullopt;
  }
  // Whatever stands after "--" is requests, also those that start with '-'.
  for (int i = optind; i < argc; ++i) options.actions.push_back({Action::Kind::kRequest, storage[static_cast<size_t>(i)]});
  error = CheckCombination(options);
  if (!error.empty()) return std::nullopt;
  return options;
}

std::string PortListText(const std::string& dev) {
  std::string text;
  for (const ComPortEntry& port : ListComPorts(kMaxComPort)) {
    text += "COM" + std::to_string(port.number) + (port.number < 10 ? "   " : "  ") + port.path;
    if (port.from_environment) text += " (VERITOR_COM" + std::to_string(port.number) + ")";
    if (!port.exists) text += " (missing)";
    if (port.number > static_cast<unsigned>(SerialPorts::kPortCount)) text += " (cannot be opened: COM1 to COM4 only)";
    text += "\n";
  }
  const auto devices = ListSerialDevices(dev);
  text += devices.empty() ? "No serial devices in " + dev + "\n" : "Serial devices (usable with --link PATH):\n";
  for (const SerialDeviceEntry& device : devices) {
    text += "  " + device.path + "\n";
    for (const std::string& name : device.by_id) text += "    " + name + "\n";
  }
  return text;
}

std::string CheckFileArguments(const Options& options) {
  for (const Action& action : options.actions) {
    if (action.kind == Action::Kind::kRequest) continue;
    if (const std::string problem = FileProblem(action.text); !problem.empty())
      return "cannot read '" + action.text + "': " + problem;
  }
  return {};
}

std::string FormatProgress(const ActionProgress& progress, uint32_t elapsed_ms) {
  // Appended piece by piece: GCC 12 sees a false overlap (-Wrestrict) in
  // "literal" + std::string&& once it inlines enough of it.
  std::string text = std::to_string(progress.done);
  if (progress.total != 0) text.append("/").append(std::to_string(progress.total));
  text.append(" ").append(progress.unit);
  if (progress.bytes_done != 0 || progress.bytes_total != 0) text.append(", ").append(FormatBytes(progress.bytes_done));
  if (progress.bytes_total != 0) text.append("/").append(FormatBytes(progress.bytes_total));
  // The share done, by bytes where they are known, else by steps.
  double share = 0;
  if (progress.bytes_total != 0) share = static_cast<double>(progress.bytes_done) / static_cast<double>(progress.bytes_total);
  else if (progress.total != 0) share = static_cast<double>(progress.done) / static_cast<double>(progress.total);
  if (share > 0 && share < 1 && elapsed_ms >= 1000) {
    const double left_s = elapsed_ms / 1000.0 * (1 - share) / share;
    text.append(", ").append(FormatDuration(static_cast<uint64_t>(left_s + 0.5))).append(" left");
  }
  return text;
}

std::string TimeOfDay(bool with_date) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, with_date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(ms));
  return text;
}

TerminalControl::TerminalControl(TickClock& clock, const volatile std::sig_atomic_t& stop, std::FILE* status)
    : clock_(clock), stop_(stop), status_(status) {}

void TerminalControl::BeginAction(std::string label) {
  ClearStatusLine();
  label_ = std::move(label);
  started_ = clock_.GetTickCount();
  drawn_ = started_ - kRedrawMs;
}

void TerminalControl::ReportProgress(const ActionProgress& progress) {
  if (status_ == nullptr) return;
  const uint32_t now = clock_.GetTickCount();
  const bool finished = progress.total != 0 && progress.done >= progress.total;
  if (!finished && static_cast<uint32_t>(now - drawn_) < kRedrawMs) return;
  drawn_ = now;
  // \r and "erase to the end of the line": the line is redrawn in place.
  std::fprintf(status_, "\r%s: %s\033[K", label_.c_str(), FormatProgress(progress, now - started_).c_str());
  std::fflush(status_);
  line_shown_ = true;
}

void TerminalControl::ClearStatusLine() {
  if (!line_shown_) return;
  std::fprintf(status_, "\r\033[K");
  std::fflush(status_);
  line_shown_ = false;
}

void StreamLogSink::AppendLogText(std::string_view text) {
  const std::string stamp = stamp_ == Stamp::kNone ? "" : TimeOfDay(stamp_ == Stamp::kDateAndTime) + "  ";
  for (const std::string& entry : VisibleLogEntries(text))
    std::fprintf(out_, "%s%s\n", stamp.c_str(), page_.LogLineToUtf8(entry).c_str());
  std::fflush(out_);
}

StreamPrompts::StreamPrompts(std::FILE* out, std::optional<bool> answer, std::FILE* terminal_in, CodePage page)
    : out_(out), answer_(answer), terminal_in_(terminal_in), page_(page) {}

void StreamPrompts::ErrorBox(const std::string& text) { MessageBox("Error", text); }

void StreamPrompts::MessageBox(const std::string& caption, const std::string& text) {
  // A box may show a device's bytes (the A file's name).
  const std::string shown = page_.LogLineToUtf8(ForTerminal(text));
  if (caption.empty())
    std::fprintf(out_, "%s\n", shown.c_str());
  else
    std::fprintf(out_, "%s: %s\n", caption.c_str(), shown.c_str());
  std::fflush(out_);
}

bool StreamPrompts::AskYesNo(const std::string& caption, const std::string& text) {
  MessageBox(caption, text);
  if (answer_) {
    std::fprintf(out_, "Answered %s (--answer)\n", *answer_ ? "Yes" : "No");
    return *answer_;
  }
  if (terminal_in_ == nullptr) {
    std::fprintf(out_, "Answered No (no terminal to ask; use --answer)\n");
    return false;
  }
  std::fprintf(out_, "Yes or No? [y/N] ");
  std::fflush(out_);
  char line[64];
  if (std::fgets(line, sizeof line, terminal_in_) == nullptr) return false;
  return line[0] == 'y' || line[0] == 'Y';
}

namespace {

// The log on stdout and in the --log file; before anything lands on the
// terminal the progress line makes way.
class RunLog final : public LogSink {
 public:
  RunLog(LogSink& out, LogSink* file, TerminalControl* control) : out_(out), file_(file), control_(control) {}
  void AppendLogText(std::string_view text) override {
    if (control_) control_->ClearStatusLine();
    out_.AppendLogText(text);
    if (file_) file_->AppendLogText(text);
  }

 private:
  LogSink& out_;
  LogSink* file_;
  TerminalControl* control_;
};

class RunPrompts final : public Prompts {
 public:
  RunPrompts(Prompts& prompts, TerminalControl* control) : prompts_(prompts), control_(control) {}
  void ErrorBox(const std::string& text) override {
    MakeWay();
    prompts_.ErrorBox(text);
  }
  void MessageBox(const std::string& caption, const std::string& text) override {
    MakeWay();
    prompts_.MessageBox(caption, text);
  }
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    MakeWay();
    return prompts_.AskYesNo(caption, text);
  }

 private:
  void MakeWay() {
    if (control_) control_->ClearStatusLine();
  }
  Prompts& prompts_;
  TerminalControl* control_;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

const char* ActionLabel(Action::Kind kind) {
  switch (kind) {
    case Action::Kind::kBatch: return "batch";
    case Action::Kind::kSign: return "sign";
    case Action::Kind::kBitmap: return "bmp";
    case Action::Kind::kRequest: break;
  }
  return "request";
}

bool StopRequested(TerminalControl* control) { return control != nullptr && control->StopRequested(); }

// Runs the actions in order until a link failure or a stop; the exit status.
int RunActions(const Options& options, Host& host, ConsoleLinks& links, const CodePage& page,
               TerminalControl* control) {
  CommandExecutor& executor = links.executor();
  int status = executor.ReplyErrorCode() != 0 ? kExitDeviceError : kExitOk;
  // A refused file does not stop the run, as the operator would go on to the
  // next button; a link failure does.
  for (const Action& action : options.actions) {
    if (StopRequested(control)) {
      host.prompts.MessageBox("", "Stopped before '" + action.text + "' (" + ActionLabel(action.kind) + ")");
      return std::max(status, static_cast<int>(kExitInterrupted));
    }
    if (control && action.kind != Action::Kind::kRequest) control->BeginAction(ActionLabel(action.kind));
    const ActionOutcome outcome = RunAction(action, host, executor, page, options.details);
    if (control) control->ClearStatusLine();
    status = std::max(status, ExitStatusOf(outcome));
    // The reply was delivered, but the Z report's file was not written.
    if (links.z_report().TakeFileFailure()) status = std::max(status, static_cast<int>(kExitLinkFailure));
    if (outcome == ActionOutcome::kLinkFailure || outcome == ActionOutcome::kStopped) break;
  }
  return status;
}

}  // namespace

int Run(const Options& options, Environment& environment) {
  if (const std::string problem = CheckFileArguments(options); !problem.empty()) {
    environment.prompts.ErrorBox(problem);
    return kExitLinkFailure;
  }
  std::unique_ptr<std::FILE, FileCloser> log_file;
  std::optional<StreamLogSink> file_sink;
  if (!options.log_file.empty()) {
    log_file.reset(std::fopen(options.log_file.c_str(), "a"));
    if (!log_file) {
      environment.prompts.ErrorBox("cannot write '" + options.log_file + "': " + std::strerror(errno));
      return kExitLinkFailure;
    }
    file_sink.emplace(log_file.get(), environment.code_page, StreamLogSink::Stamp::kDateAndTime);
  }
  TerminalControl* control = environment.control;
  RunLog run_log(environment.log, file_sink ? &*file_sink : nullptr, control);
  RunPrompts prompts(environment.prompts, control);
  if (!options.plan.empty() || !options.record.empty()) {
    Environment plan_environment{environment.clock, environment.pump,  environment.opener,
                                 environment.network, run_log, prompts, environment.output_directory,
                                 environment.code_page, control};
    return RunPlans(options, plan_environment);
  }

  ConsoleState state;
  MessageLog log(run_log);
  NoDisplay display;
  Host host{environment.clock, environment.pump, log, display, prompts, state, control};
  ConsoleLinks links(host, environment.opener, environment.network, environment.output_directory);

  std::string address = options.address;
  if (options.detect) {
    std::vector<Ipv4Address> devices;
    if (!links.DetectNetworkDevices(devices)) return kExitLinkFailure;
    // As in the console, the first device found is the one chosen.
    if (address.empty() && !devices.empty()) address = FormatIpv4(devices.front());
    if (StopRequested(control)) return kExitInterrupted;
  }
  if (options.actions.empty()) return kExitOk;

  const ConsoleLinks::ConnectOutcome connect = links.Connect(options.link, options.speed, address, options.details);
  if (!connect.connected) return StopRequested(control) ? kExitInterrupted : kExitLinkFailure;
  const CodePage page = CodePage::Find(options.code_page).value_or(environment.code_page);
  const int status = RunActions(options, host, links, page, control);
  links.Disconnect();
  return status;
}

}  // namespace veritor::cli
