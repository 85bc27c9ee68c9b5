#pragma once

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/code_page.h"
#include "core/action_control.h"
#include "net/tcp_link.h"
#include "platform/byte_port.h"
#include "platform/socket.h"
#include "platform/message_pump.h"
#include "platform/tick_clock.h"
#include "platform/ui.h"

namespace veritor::cli {

// Exit statuses of veritor-cli.
enum ExitStatus : int {
  kExitOk = 0,           // every reply carried error code 0
  kExitDeviceError = 1,  // a reply carried a device error, or a batch line was sent cut to 1500 bytes
  kExitLinkFailure = 2,  // the link did not open, a request got no reply, a file was refused, or a Z-report
                         // file could not be written
  kExitUsage = 64,
  kExitBadPlan = 65,  // --check: a plan was refused
  kExitOutputFailed = 74,  // the log could not be written (stdout, the --log file): said on stderr, the run
                           // stopped as a stop signal stops it
  kExitInterrupted = 130,  // stopped by SIGINT or SIGTERM, as shells report it
};

// One step of a run: a request, or one of the console's file actions.
struct Action {
  enum class Kind { kRequest, kBatch, kSign, kBitmap };
  Kind kind = Kind::kRequest;
  std::string text;  // the request text, or the file's path
  bool operator==(const Action&) const = default;
};

struct Options {
  int link = 1;  // 1 to 12 a serial port (COMn), then kLinkSdnp, kLinkTcp, kLinkUdp
  std::string device_path;  // --link /dev/...: the device COM1 opens instead of its own
  std::string address;  // the network device's address
  bool detect = false;  // SDNP device detection first
  unsigned long speed = 115200;
  bool details = false;
  std::optional<bool> answer;  // the Z-report question's answer, if given
  unsigned code_page = 0;  // --code-page; 0: VERITOR_CODE_PAGE, else 1253
  TcpReplyEnd tcp_reply_end = TcpReplyEnd::kCrLf;  // --tcp-reply-end
  std::vector<Action> actions;  // in the order of the command line
  // Test plans (cli/plan_cli.h).
  std::string plan;                    // --plan FILE: run it
  std::string record;                  // --record FILE: write what the device answered as a plan
  std::string report;                  // --report FILE: JUnit XML of the plan's steps
  bool keep_going = false;             // --keep-going: run on after a failed step
  std::vector<std::string> addresses;  // every --address, in order: the plan runs on each
  bool check = false;                  // --check: the arguments are plans, checked without a device
  std::string log_file;  // --log: the log also goes there, each entry with its date and time
  bool timestamps = false;  // the time before each log line on stdout
  bool list_ports = false;
  bool help = false;
  bool version = false;
};

// The options (arguments without the program name), or nothing with `error`
// saying what is wrong. With --help or --version nothing else is checked.
std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error);

std::string UsageText();
std::string VersionText();

// COM1 to COM12 with the path each opens, then the serial devices under
// `dev` with their stable names.
std::string PortListText(const std::string& dev = "/dev");

// Every file that an action names can be read: empty, or why the first one
// that cannot ("cannot read 'x': No such file or directory").
std::string CheckFileArguments(const Options& options);

// Empty when `path` is a regular file that can be read, else why not.
std::string ReadableFileProblem(const std::string& path);
// Empty when a file can be written at `path` (an existing one is not
// touched), else why not.
std::string WritableFileProblem(const std::string& path);
// True when both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// "12/40 blocks, 9.0/30.0 KB, 0:05 left": an action's progress on one line.
std::string FormatProgress(const ActionProgress& progress, uint32_t elapsed_ms);

// The wall-clock time now: "14:03:07.250", or with the date before it.
std::string TimeOfDay(bool with_date);

// Prints each message-log entry as one line, exactly as the log shows it, in
// UTF-8: the device's bytes through its code page. The time before each line
// when asked, with the date too for a file that outlives the day.
class StreamLogSink final : public LogSink {
 public:
  enum class Stamp { kNone, kTime, kDateAndTime };
  StreamLogSink(std::FILE* out, CodePage page, Stamp stamp = Stamp::kNone) : out_(out), page_(page), stamp_(stamp) {}
  void AppendLogText(std::string_view text, LogText origin) override;
  // The errno of the first write that failed, 0 while none has; after one
  // the stream is written no more.
  int write_error() const { return write_error_; }

 private:
  std::FILE* out_;
  CodePage page_;
  Stamp stamp_;
  int write_error_ = 0;
};

// The operator's hold on a run from the terminal: a stop signal (SIGINT,
// SIGTERM) stops a long action between exchanges, and long actions draw
// their progress on a status line of the terminal, when there is one.
class TerminalControl final : public ActionControl {
 public:
  // `stop` is the flag the signal handler sets; `status` the terminal for the
  // progress line, or null for none.
  TerminalControl(TickClock& clock, const volatile std::sig_atomic_t& stop, std::FILE* status);
  void ReportProgress(const ActionProgress& progress) override;
  bool StopRequested() override { return stop_ != 0 || output_failed_; }
  // The log can no longer be written: the run stops as at a stop signal.
  void StopForOutputFailure() { output_failed_ = true; }

  // A long action starts: its progress is timed from now.
  void BeginAction(std::string label);
  // An action begun at `started` (a tick of the clock) goes on, after
  // another one's progress took the line (a plan after its .sign step).
  void ResumeAction(std::string label, uint32_t started);
  uint32_t Now() const { return clock_.GetTickCount(); }
  // Removes the progress line, before other output reaches the terminal.
  void ClearStatusLine();

 private:
  TickClock& clock_;
  const volatile std::sig_atomic_t& stop_;
  std::FILE* status_;
  std::string label_;
  uint32_t started_ = 0;
  uint32_t drawn_ = 0;
  bool line_shown_ = false;
  bool output_failed_ = false;
};

// Message boxes on a stream; the Z-report question is answered by the
// option, else on the terminal when there is one, else with No.
class StreamPrompts final : public Prompts {
 public:
  StreamPrompts(std::FILE* out, std::optional<bool> answer, std::FILE* terminal_in, CodePage page);
  void ErrorBox(const std::string& text) override;
  void MessageBox(const std::string& caption, const std::string& text) override;
  bool AskYesNo(const std::string& caption, const std::string& text) override;

 private:
  std::FILE* out_;
  std::optional<bool> answer_;
  std::FILE* terminal_in_;  // null when there is no terminal to ask
  CodePage page_;
};

// What the front end runs on: the real machine, or a simulation in tests.
struct Environment {
  TickClock& clock;
  MessagePump& pump;
  PortOpener& opener;
  Network& network;
  LogSink& log;
  Prompts& prompts;
  std::string output_directory;
  // Command-line requests are written in it, unless the options name another.
  CodePage code_page = *CodePage::Find(kDefaultCodePage);
  TerminalControl* control = nullptr;  // none: no stop, no progress
};

// Checks the file arguments and opens the --log file, detects devices when
// asked, connects as the console's Connect does, runs each action in order
// until a link failure or a stop, disconnects.
int Run(const Options& options, Environment& environment);

}  // namespace veritor::cli
