#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/code_page.h"
#include "platform/byte_port.h"
#include "platform/socket.h"
#include "platform/message_pump.h"
#include "platform/tick_clock.h"
#include "platform/ui.h"

namespace veritor::cli {

// Exit statuses of veritor-cli.
enum ExitStatus : int {
  kExitOk = 0,           // every reply carried error code 0
  kExitDeviceError = 1,  // a reply carried a device error
  kExitLinkFailure = 2,  // the link did not open, a request got no reply, a file was refused, or a Z-report
                         // file could not be written
  kExitUsage = 64,
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
  std::string address;  // the network device's address
  bool detect = false;  // SDNP device detection first
  unsigned long speed = 115200;
  bool details = false;
  std::optional<bool> answer;  // the Z-report question's answer, if given
  unsigned code_page = 0;  // --code-page; 0: VERITOR_CODE_PAGE, else 1253
  std::vector<Action> actions;  // in the order of the command line
  // Test plans (cli/plan_cli.h).
  std::string plan;                    // --plan FILE: run it
  std::string record;                  // --record FILE: write what the device answered as a plan
  std::string report;                  // --report FILE: JUnit XML of the plan's steps
  bool keep_going = false;             // --keep-going: run on after a failed step
  std::vector<std::string> addresses;  // every --address, in order: the plan runs on each
};

// The options, or nothing with `error` saying what is wrong.
std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error);

std::string UsageText();

// Prints each message-log entry as one line, exactly as the log shows it, in
// UTF-8: the device's bytes through its code page.
class StreamLogSink final : public LogSink {
 public:
  StreamLogSink(std::FILE* out, CodePage page) : out_(out), page_(page) {}
  void AppendLogText(std::string_view text) override;

 private:
  std::FILE* out_;
  CodePage page_;
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
};

// Detects devices when asked, connects as the console's Connect does, runs
// each action in order until a link failure, disconnects.
int Run(const Options& options, Environment& environment);

}  // namespace veritor::cli
