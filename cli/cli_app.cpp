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

}  // namespace

std::string ReadableFileProblem(const std::string& path) { return FileProblem(path); }

std::string WritableFileProblem(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    return access(path.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
  }
  if (errno != ENOENT) return std::strerror(errno);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (stat(folder.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
  return access(folder.c_str(), W_OK | X_OK) == 0 ? std::string() : std::strerror(errno);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

namespace {

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
  const int result = executor.ExecuteCommand(request, data, verbose);
  if (result == kResultStopped) return ActionOutcome::kStopped;
  if (result != kResultOk) return ActionOutcome::kLinkFailure;
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
         "       veritor-cli --check PLAN...\n"
         "Connects to the device, runs the requests and file actions in the order given, disconnects.\n"
         "\n"
         "  --link COMn|PATH|sdnp|tcp|udp  the link (COM1); a device path (/dev/ttyUSB0) is opened as COM1\n"
         "  --address IPV4    the network device's address; with --plan, given again for each device\n"
         "  --detect          find SDNP devices first (a broadcast); the first one found is used\n"
         "  --speed BAUD      the serial speed (115200)\n"
         "  --details         log the request and reply frames too\n"
         "  --answer yes|no   the answer to the Z-report question (else asked on the terminal, else No)\n"
         "  --code-page N     the device's code page (else VERITOR_CODE_PAGE, else 1253)\n"
         "  --tcp-reply-end crlf|close|quiet  how the TCP device ends each reply: CR LF (crlf),\n"
         "                    closing the connection, or falling quiet for 50 ms\n"
         "  --batch FILE      send the file's lines as requests, as \"Run batch\" does\n"
         "  --sign FILE       have the device sign the file, as \"Sign File\" does\n"
         "  --bmp FILE        upload a 1-bit BMP of at most 256 x 256 into bitmap slot 1\n"
         "  --plan FILE       run a test plan: each step's reply checked against what it expects\n"
         "  --report FILE     write the plan's outcome as JUnit XML\n"
         "  --keep-going      run on after a failed step\n"
         "  --check           the arguments are plans: check them without a device (exit 0, or 65)\n"
         "  --record FILE     write a plan whose expectations are what the device answered\n"
         "  --log FILE        also append the log to FILE, each entry with its date and time\n"
         "  --timestamps      the time before each log line on stdout\n"
         "  --list-ports      list COM1 to COM12 and the serial devices there are, then end\n"
         "  -h, --help        this text\n"
         "  -V, --version     the version\n"
         "\n"
         "A request that starts with '-' goes after \"--\". Ctrl-C stops after the exchange under way.\n"
         "Exit status: 0 all replies good (every plan step passed), 1 a device error (a step failed),\n"
         "2 a link failure or a refused file, 64 bad usage, 65 a plan refused by --check, 74 the log\n"
         "could not be written (stdout or the --log file; said on stderr, the run stopped), 130 stopped\n"
         "by a signal.\n"
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
  kOptionTcpReplyEnd,
  kOptionCheck,
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
    {"tcp-reply-end", required_argument, nullptr, kOptionTcpReplyEnd},
    {"check", no_argument, nullptr, kOptionCheck},
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
    case kOptionPlan:
      if (!options.plan.empty()) return "--plan given twice: one plan a run";
      options.plan = value;
      break;
    case kOptionRecord:
      if (!options.record.empty()) return "--record given twice";
      options.record = value;
      break;
    case kOptionReport:
      if (!options.report.empty()) return "--report given twice";
      options.report = value;
      break;
    case kOptionKeepGoing: options.keep_going = true; break;
    case kOptionTcpReplyEnd:
      if (const auto end = ParseTcpReplyEnd(value)) {
        options.tcp_reply_end = *end;
      } else {
        return "--tcp-reply-end takes crlf, close or quiet, not '" + value + "'";
      }
      break;
    case kOptionCheck: options.check = true; break;
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
  if (options.check) {
    if (!options.plan.empty() || !options.record.empty()) return "--check takes the plans as its arguments";
    if (options.actions.empty()) return "--check needs a plan to check";
    for (const Action& action : options.actions)
      if (action.kind != Action::Kind::kRequest) return "--check takes plans only";
    return {};
  }
  const bool plan_run = !options.plan.empty() || !options.record.empty();
  if (!options.report.empty() && !plan_run) return "--report needs --plan (or --record)";
  if (options.keep_going && !plan_run) return "--keep-going needs --plan";
  if (options.detect && !IsNetworkLink(options.link))
    return "--detect finds network devices: it takes --link sdnp, tcp or udp";
  if (options.addresses.size() > 1 && !plan_run) return "--address given twice (a plan runs on several devices)";
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

void TerminalControl::ResumeAction(std::string label, uint32_t started) {
  BeginAction(std::move(label));
  started_ = started;
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

void StreamLogSink::AppendLogText(std::string_view text, LogText origin) {
  if (write_error_ != 0) return;
  const std::string stamp = stamp_ == Stamp::kNone ? "" : TimeOfDay(stamp_ == Stamp::kDateAndTime) + "  ";
  errno = 0;
  bool written = true;
  for (const std::string& entry : VisibleLogEntries(text))
    written = written && std::fprintf(out_, "%s%s\n", stamp.c_str(), page_.LogLineToUtf8(entry, origin).c_str()) >= 0;
  if (std::fflush(out_) != 0 || !written || std::ferror(out_)) write_error_ = errno != 0 ? errno : EIO;
}

StreamPrompts::StreamPrompts(std::FILE* out, std::optional<bool> answer, std::FILE* terminal_in, CodePage page)
    : out_(out), answer_(answer), terminal_in_(terminal_in), page_(page) {}

void StreamPrompts::ErrorBox(const std::string& text) { MessageBox("Error", text); }

void StreamPrompts::MessageBox(const std::string& caption, const std::string& text) {
  // A box may show a device's bytes (the A file's name).
  const std::string shown = page_.LogLineToUtf8(ForTerminal(text), LogText::kHost);
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
  // The whole line is the answer, however long: nothing of it is left for
  // the next question. Ctrl-C ends the read (EINTR) with no answer, and the
  // run stops there.
  std::string line;
  for (int c; (c = std::fgetc(terminal_in_)) != EOF && c != '\n';) line += static_cast<char>(c);
  std::clearerr(terminal_in_);
  return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

namespace {

// The log on stdout and in the --log file; before anything lands on the
// terminal the progress line makes way. A write that fails is said once on
// stderr, and stops the run.
class RunLog final : public LogSink {
 public:
  RunLog(LogSink& out, StreamLogSink* file, std::string file_name, TerminalControl* control, Prompts& prompts)
      : out_(out),
        out_stream_(dynamic_cast<StreamLogSink*>(&out)),
        file_(file),
        file_name_(std::move(file_name)),
        control_(control),
        prompts_(prompts) {}
  void AppendLogText(std::string_view text, LogText origin) override {
    if (control_) control_->ClearStatusLine();
    out_.AppendLogText(text, origin);
    if (file_) file_->AppendLogText(text, origin);
    CheckWritten(out_stream_ != nullptr ? out_stream_->write_error() : 0, out_failed_, "stdout");
    CheckWritten(file_ != nullptr ? file_->write_error() : 0, file_failed_, "'" + file_name_ + "'");
  }
  bool failed() const { return out_failed_ || file_failed_; }
  // The run's exit status: a log that could not be written outranks the rest.
  int Status(int status) const { return failed() ? static_cast<int>(kExitOutputFailed) : status; }

 private:
  void CheckWritten(int error, bool& failed, const std::string& where) {
    if (error == 0 || failed) return;
    failed = true;
    prompts_.ErrorBox("cannot write the log to " + where + ": " + std::strerror(error) + "; the run stops");
    if (control_) control_->StopForOutputFailure();
  }

  LogSink& out_;
  StreamLogSink* out_stream_;  // null when the log goes elsewhere (tests)
  StreamLogSink* file_;
  std::string file_name_;
  TerminalControl* control_;
  Prompts& prompts_;
  bool out_failed_ = false;
  bool file_failed_ = false;
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
    ActionOutcome outcome = RunAction(action, host, executor, page, options.details);
    // A request that a stop ended (a stop signal, or one at the Z report's question): the run was stopped,
    // not failed.
    if (outcome == ActionOutcome::kLinkFailure && StopRequested(control)) outcome = ActionOutcome::kStopped;
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
  if (options.check) {
    std::vector<std::string> plans;
    for (const Action& action : options.actions) plans.push_back(action.text);
    return CheckPlans(plans, CodePage::Find(options.code_page).value_or(environment.code_page), environment.log);
  }
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
  RunPrompts prompts(environment.prompts, control);
  RunLog run_log(environment.log, file_sink ? &*file_sink : nullptr, options.log_file, control, prompts);
  if (!options.plan.empty() || !options.record.empty()) {
    Environment plan_environment{environment.clock, environment.pump,  environment.opener,
                                 environment.network, run_log, prompts, environment.output_directory,
                                 environment.code_page, control};
    const int status = RunPlans(options, plan_environment);
    return run_log.Status(status);
  }

  ConsoleState state;
  MessageLog log(run_log);
  NoDisplay display;
  Host host{environment.clock, environment.pump, log, display, prompts, state, control};
  ConsoleLinks links(host, environment.opener, environment.network, environment.output_directory);
  links.tcp().SetReplyEnd(options.tcp_reply_end);

  std::string address = options.address;
  if (options.detect) {
    std::vector<Ipv4Address> devices;
    if (!links.DetectNetworkDevices(devices)) return run_log.Status(kExitLinkFailure);
    // As in the console, the first device found is the one chosen.
    if (address.empty() && !devices.empty()) address = FormatIpv4(devices.front());
    if (StopRequested(control)) return run_log.Status(kExitInterrupted);
    if (address.empty() && !options.actions.empty()) {
      log.LogMessage("No device answered the detection; nothing sent");
      return run_log.Status(kExitLinkFailure);
    }
  }
  if (options.actions.empty()) return run_log.Status(kExitOk);

  const ConsoleLinks::ConnectOutcome connect = links.Connect(options.link, options.speed, address, options.details);
  if (!connect.connected) return run_log.Status(StopRequested(control) ? kExitInterrupted : kExitLinkFailure);
  const CodePage page = CodePage::Find(options.code_page).value_or(environment.code_page);
  links.z_report().SetCodePage(page);
  const int status = RunActions(options, host, links, page, control);
  links.z_report().EndOfRun();
  links.Disconnect();
  return run_log.Status(status);
}

}  // namespace veritor::cli
