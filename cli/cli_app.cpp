#include "cli/cli_app.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/batch.h"
#include "core/bitmap.h"
#include "core/file_signing.h"
#include "cli/plan_cli.h"
#include "core/log_entries.h"
#include "session/console_links.h"
#include "net/ipv4_text.h"

namespace veritor::cli {

namespace {

constexpr int kMaxComPort = 12;
constexpr unsigned long kMaxSpeed = 4000000;

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

// Texts of message boxes use CR LF; a terminal wants LF.
std::string ForTerminal(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// The options that name a file action.
std::optional<Action::Kind> FileActionOption(const std::string& argument) {
  if (argument == "--batch") return Action::Kind::kBatch;
  if (argument == "--sign") return Action::Kind::kSign;
  if (argument == "--bmp") return Action::Kind::kBitmap;
  return std::nullopt;
}

bool TakesValue(const std::string& argument) {
  return argument == "--link" || argument == "--address" || argument == "--speed" || argument == "--answer" ||
         argument == "--code-page" || argument == "--plan" || argument == "--record" || argument == "--report" ||
         FileActionOption(argument);
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
    case ActionOutcome::kDeviceError: return kExitDeviceError;
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
  return "usage: veritor-cli [--link COMn|sdnp|tcp|udp] [--address IPV4] [--speed BAUD] [--details]\n"
         "                   [--answer yes|no] [--detect] [--code-page N]\n"
         "                   [REQUEST | --batch FILE | --sign FILE | --bmp FILE]...\n"
         "  --code-page N the device's code page (else VERITOR_CODE_PAGE, else 1253)\n"
         "  --batch FILE  send the file's lines as requests, as \"Run batch\" does\n"
         "  --sign FILE   have the device sign the file, as \"Sign File\" does\n"
         "  --bmp FILE    upload a 1-bit BMP of at most 256 x 256 into bitmap slot 1, as \"BMP\" does\n"
         "Requests and file actions run in the order given.\n"
         "Test plans: veritor-cli [link options] --plan FILE [--report JUNIT.xml] [--keep-going]\n"
         "            veritor-cli [link options] --record PLAN.txt (--plan FILE | REQUEST... | --batch FILE...)\n"
         "  --address may be given more than once (or --detect used) to run the plan on each device.\n";
}

std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool has_value = i + 1 < arguments.size();
    if (argument == "--details") {
      options.details = true;
    } else if (argument == "--detect") {
      options.detect = true;
    } else if (argument == "--link" && has_value) {
      if (!ParseLink(arguments[++i], options.link)) {
        error = "--link takes COM1 to COM12, sdnp, tcp or udp, not '" + arguments[i] + "'";
        return std::nullopt;
      }
    } else if (argument == "--address" && has_value) {
      options.address = arguments[++i];
      options.addresses.push_back(options.address);
    } else if (argument == "--plan" && has_value) {
      options.plan = arguments[++i];
    } else if (argument == "--record" && has_value) {
      options.record = arguments[++i];
    } else if (argument == "--report" && has_value) {
      options.report = arguments[++i];
    } else if (argument == "--keep-going") {
      options.keep_going = true;
    } else if (argument == "--speed" && has_value) {
      if (!ParseNumber(arguments[++i], kMaxSpeed, options.speed)) {
        error = "--speed takes a number of bits per second, not '" + arguments[i] + "'";
        return std::nullopt;
      }
    } else if (argument == "--answer" && has_value) {
      const std::string& value = arguments[++i];
      if (value != "yes" && value != "no") {
        error = "--answer takes yes or no, not '" + value + "'";
        return std::nullopt;
      }
      options.answer = value == "yes";
    } else if (argument == "--code-page" && has_value) {
      unsigned long number = 0;
      if (!ParseNumber(arguments[++i], 65535, number) || !CodePage::Find(static_cast<unsigned>(number))) {
        error = "--code-page takes one of " + CodePage::KnownNumbers() + ", not '" + arguments[i] + "'";
        return std::nullopt;
      }
      options.code_page = static_cast<unsigned>(number);
    } else if (const auto file_action = FileActionOption(argument); file_action && has_value) {
      options.actions.push_back({*file_action, arguments[++i]});
    } else if (argument == "--") {
      for (++i; i < arguments.size(); ++i) options.actions.push_back({Action::Kind::kRequest, arguments[i]});
      break;
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
      error = (TakesValue(argument) ? "missing value for " : "unknown option ") + argument;
      return std::nullopt;
    } else {
      options.actions.push_back({Action::Kind::kRequest, argument});
    }
  }
  if (!options.plan.empty() && !options.actions.empty()) {
    error = "--plan takes no requests or file actions besides it";
    return std::nullopt;
  }
  if (options.actions.empty() && !options.detect && options.plan.empty()) {
    error = "no request given";
    return std::nullopt;
  }
  if (IsNetworkLink(options.link) && options.address.empty() && !options.detect) {
    error = "a network link needs --address (or --detect)";
    return std::nullopt;
  }
  return options;
}

void StreamLogSink::AppendLogText(std::string_view text) {
  for (const std::string& entry : VisibleLogEntries(text))
    std::fprintf(out_, "%s\n", page_.LogLineToUtf8(entry).c_str());
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

int Run(const Options& options, Environment& environment) {
  if (!options.plan.empty() || !options.record.empty()) return RunPlans(options, environment);
  ConsoleState state;
  MessageLog log(environment.log);
  NoDisplay display;
  Host host{environment.clock, environment.pump, log, display, environment.prompts, state};
  ConsoleLinks links(host, environment.opener, environment.network, environment.output_directory);

  std::string address = options.address;
  if (options.detect) {
    std::vector<Ipv4Address> devices;
    if (!links.DetectNetworkDevices(devices)) return kExitLinkFailure;
    // As in the console, the first device found is the one chosen.
    if (address.empty() && !devices.empty()) address = FormatIpv4(devices.front());
  }
  if (options.actions.empty()) return kExitOk;

  const ConsoleLinks::ConnectOutcome connect = links.Connect(options.link, options.speed, address, options.details);
  if (!connect.connected) return kExitLinkFailure;
  CommandExecutor& executor = links.executor();
  const CodePage page = CodePage::Find(options.code_page).value_or(environment.code_page);
  int status = executor.ReplyErrorCode() != 0 ? kExitDeviceError : kExitOk;
  // A refused file does not stop the run, as the operator would go on to the
  // next button; a link failure does.
  for (const Action& action : options.actions) {
    const ActionOutcome outcome = RunAction(action, host, executor, page, options.details);
    status = std::max(status, ExitStatusOf(outcome));
    // The reply was delivered, but the Z report's file was not written.
    if (links.z_report().TakeFileFailure()) status = std::max(status, static_cast<int>(kExitLinkFailure));
    if (outcome == ActionOutcome::kLinkFailure || outcome == ActionOutcome::kStopped) break;
  }
  links.Disconnect();
  return status;
}

}  // namespace veritor::cli
