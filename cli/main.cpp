#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/cli_app.h"
#include "platform/paths.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"

int main(int argc, char** argv) {
  using namespace veritor;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string error;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const auto options = cli::ParseArguments(arguments, error);
  if (!options) {
    std::fprintf(stderr, "veritor-cli: %s\n%s", error.c_str(), cli::UsageText().c_str());
    return cli::kExitUsage;
  }
  const auto page = ChooseCodePage(options->code_page, std::getenv("VERITOR_CODE_PAGE"), error);
  if (!page) {
    std::fprintf(stderr, "veritor-cli: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener opener;
  PosixNetwork network;
  cli::StreamLogSink log(stdout, *page);
  cli::StreamPrompts prompts(stderr, options->answer, isatty(STDIN_FILENO) ? stdin : nullptr, *page);
  cli::Environment environment{clock, pump, opener, network, log, prompts, DefaultOutputDirectory(), *page};
  return cli::Run(*options, environment);
}
