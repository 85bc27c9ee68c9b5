#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli_app.h"
#include "platform/byte_tap.h"
#include "platform/paths.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void OnStopSignal(int) { stop_requested = 1; }

// The first SIGINT or SIGTERM asks the run to stop after the exchange under
// way; SA_RESETHAND lets a second one end the program at once. No
// SA_RESTART: a wait in poll() ends at the signal rather than after its turn.
void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader of stdout that goes away (| head) shows as EPIPE on the next
  // write, which stops the run and is reported; the signal would kill it.
  signal(SIGPIPE, SIG_IGN);
}

// --help, --version and --list-ports: status 74 when stdout could not take it.
int PrintAnswer(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return veritor::cli::kExitOk;
  std::fprintf(stderr, "veritor-cli: cannot write to stdout: %s\n", std::strerror(errno));
  return veritor::cli::kExitOutputFailed;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veritor;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string error;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const auto options = cli::ParseArguments(arguments, error);
  if (!options) {
    std::fprintf(stderr, "veritor-cli: %s\nTry 'veritor-cli --help'.\n", error.c_str());
    return cli::kExitUsage;
  }
  if (options->help) return PrintAnswer(cli::UsageText());
  if (options->version) return PrintAnswer(cli::VersionText());
  if (options->list_ports) return PrintAnswer(cli::PortListText());
  const auto page = ChooseCodePage(options->code_page, std::getenv("VERITOR_CODE_PAGE"), error);
  if (!page) {
    std::fprintf(stderr, "veritor-cli: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  InstallStopSignals();
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener ports;
  TapSwitch no_tap;  // the window shows raw bytes; veritor-cli uses the opener for --link PATH alone
  TappingPortOpener opener(ports, no_tap);
  if (!options->device_path.empty()) opener.SetDevicePath(static_cast<unsigned>(options->link), options->device_path);
  PosixNetwork network;
  cli::StreamLogSink log(stdout, *page,
                         options->timestamps ? cli::StreamLogSink::Stamp::kTime : cli::StreamLogSink::Stamp::kNone);
  cli::StreamPrompts prompts(stderr, options->answer, isatty(STDIN_FILENO) ? stdin : nullptr, *page);
  cli::TerminalControl control(clock, stop_requested, isatty(STDERR_FILENO) ? stderr : nullptr);
  cli::Environment environment{clock, pump, opener, network, log, prompts, DefaultOutputDirectory(), *page, &control};
  return cli::Run(*options, environment);
}
