#include "cli/cli_app.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/command.h"
#include "core/log_entries.h"
#include "serial/serial_connection.h"
#include "serial/serial_link.h"

namespace veritor::cli {

namespace {

constexpr int kMaxComPort = 12;
constexpr unsigned long kMaxSpeed = 4000000;

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) return false;
  value = std::strtoul(text.c_str(), nullptr, 10);
  return value >= 1 && value <= max;
}

bool ParseComPort(const std::string& text, int& port) {
  unsigned long number = 0;
  if (text.size() < 4 || strncasecmp(text.c_str(), "COM", 3) != 0) return false;
  if (!ParseNumber(text.substr(3), kMaxComPort, number)) return false;
  port = static_cast<int>(number);
  return true;
}

// Texts of message boxes use CR LF; a terminal wants LF.
std::string ForTerminal(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

class NoDisplay final : public DisplayFields {
 public:
  void SetFieldText(int, std::string_view) override {}
};

}  // namespace

std::string UsageText() {
  return "usage: veritor-cli [--link COMn] [--speed BAUD] [--details] [--answer yes|no] REQUEST...\n";
}

std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool has_value = i + 1 < arguments.size();
    if (argument == "--details") {
      options.details = true;
    } else if (argument == "--link" && has_value) {
      if (!ParseComPort(arguments[++i], options.port)) {
        error = "--link takes COM1 to COM12, not '" + arguments[i] + "'";
        return std::nullopt;
      }
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
    } else if (argument == "--") {
      options.requests.insert(options.requests.end(), arguments.begin() + static_cast<long>(i) + 1, arguments.end());
      break;
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
      const bool takes_value = argument == "--link" || argument == "--speed" || argument == "--answer";
      error = (takes_value ? "missing value for " : "unknown option ") + argument;
      return std::nullopt;
    } else {
      options.requests.push_back(argument);
    }
  }
  if (options.requests.empty()) {
    error = "no request given";
    return std::nullopt;
  }
  return options;
}

void StreamLogSink::AppendLogText(std::string_view text) {
  for (const std::string& entry : VisibleLogEntries(text)) std::fprintf(out_, "%s\n", entry.c_str());
  std::fflush(out_);
}

StreamPrompts::StreamPrompts(std::FILE* out, std::optional<bool> answer, std::FILE* terminal_in)
    : out_(out), answer_(answer), terminal_in_(terminal_in) {}

void StreamPrompts::ErrorBox(const std::string& text) { MessageBox("Error", text); }

void StreamPrompts::MessageBox(const std::string& caption, const std::string& text) {
  if (caption.empty())
    std::fprintf(out_, "%s\n", ForTerminal(text).c_str());
  else
    std::fprintf(out_, "%s: %s\n", caption.c_str(), ForTerminal(text).c_str());
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
  ConsoleState state;
  MessageLog log(environment.log);
  NoDisplay display;
  Host host{environment.clock, environment.pump, log, display, environment.prompts, state};
  SerialPorts ports(host, environment.opener);
  ZReportFiles z_report(log, environment.prompts, environment.output_directory);
  SerialLink serial(host, ports, z_report);
  CommandExecutor executor(host, serial);

  const SerialConnectResult connect =
      ConnectSerialPort(host, ports, executor, options.port, options.speed, options.details);
  if (!connect.connected) return kExitLinkFailure;
  bool device_error = executor.ReplyErrorCode() != 0;
  bool link_failure = false;
  for (const std::string& request : options.requests) {
    std::string data;
    if (executor.ExecuteCommand(request, data, options.details) != kResultOk) {
      link_failure = true;
      break;
    }
    device_error = device_error || executor.ReplyErrorCode() != 0;
  }
  DisconnectSerialPort(host, ports, options.port);
  if (link_failure) return kExitLinkFailure;
  return device_error ? kExitDeviceError : kExitOk;
}

}  // namespace veritor::cli
