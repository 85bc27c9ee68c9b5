#include "cli/cli_app.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>

#include <chrono>
#include <cctype>
#include <thread>

#include "tests/support/fake_network.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"

namespace veritor::cli {
namespace {

// veritor-cli's run, in process, against a serial device of a few lines.
struct WireRun {
  VirtualTickClock clock;
  test::ClockPump pump{clock};
  test::WireSerialDevice device;
  test::FakeWire wire;
  test::FakeNetwork network{wire};
  test::RecordingLog log;
  test::ScriptedPrompts prompts;
  test::TempDir home;

  int Run(std::vector<std::string> arguments) {
    std::string error;
    const auto options = ParseArguments(arguments, error);
    EXPECT_TRUE(options) << error;
    if (!options) return kExitUsage;
    Environment environment{clock, pump, device, network, log, prompts, home.file("out/")};
    return cli::Run(*options, environment);
  }
};

// The device sends its report with the warning 0x80: the report counts, so a
// Z report whose A file cannot be written (no out/ folder) fails the run.
TEST(CliRun, AZReportStepThatCannotWriteItsFileFailsTheRun) {
  WireRun run;
  run.device.Script({{"v", {"00/00/00/DEVICE"}}, {"A", {"80/00/00/001/Z0043"}}, {"Q", {"80/00/00/0/Total"}}});
  EXPECT_EQ(run.Run({"A", "Q"}), kExitLinkFailure);
  EXPECT_TRUE(run.log.Contains("Cannot create the A file '" + run.home.file("out/Z0043_a.txt") +
                               "': No such file or directory"));
  std::filesystem::create_directory(run.home.file("out"));
  EXPECT_EQ(run.Run({"A", "Q"}), kExitDeviceError) << "the warning, and no file failure";
  EXPECT_EQ(test::ReadFile(run.home.file("out/Z0043_a.txt")), "Total\r\n");
}

// Command-line requests go out in the code page, device bytes come out as
// UTF-8; a character the page lacks is refused and the run goes on.
TEST(CliRun, RequestsAreWrittenInTheCodePageAndRepliesShownInUtf8) {
  WireRun run;
  run.device.Script({{"v", {"00/00/00/\xCA\xC1\xCB\xC7"}}, {"\xCA\xC1\xCB\xC7", {"00/00/00/\xD1\xC1"}},
                     {"@/\xC5", {"00/00/00/ok"}}});
  EXPECT_EQ(run.Run({"--details", "ΚΑΛΗ", "☺", "@/Ε"}), kExitLinkFailure);
  EXPECT_EQ(run.device.requests, (std::vector<std::string>{"v", "\xCA\xC1\xCB\xC7", "@/\xC5"}));
  EXPECT_TRUE(run.log.Contains("Request not sent: U+263A cannot be written in code page 1253"));
  EXPECT_TRUE(run.log.Contains("Replied frame [\xD1\xC1]")) << "the log keeps the device's bytes";

  run.device.requests.clear();
  EXPECT_EQ(run.Run({"--code-page", "737", "ΚΑΛΗ"}), kExitDeviceError) << "another page, other bytes";
  EXPECT_EQ(run.device.requests.back(), "\x89\x80\x8A\x86");

  std::FILE* out = std::tmpfile();
  StreamLogSink sink(out, *CodePage::Find(1253));
  sink.AppendLogText("Device info: [\xCA\xC1\xCB\xC7]\nSigning '/tmp/Έγγραφα', 1 byte(s)");
  EXPECT_EQ(test::ReadAll(fileno(out)), "Device info: [ΚΑΛΗ]\nSigning '/tmp/Έγγραφα', 1 byte(s)\n");
  std::fclose(out);
}

// The text with each digit as '#', for lines that hold the time.
// (No std::regex: GCC 12 with -fsanitize=address warns inside <regex>.)
std::string Digits(std::string text) {
  for (char& c : text) c = std::isdigit(static_cast<unsigned char>(c)) ? '#' : c;
  return text;
}

// The full log of a run, then a Z report into $HOME/out/ on the same device.
TEST(CliIntegration, RunsAgainstTheSimulatedDeviceOverAPty) {
  test::SimulatorProcess simulator({"--report-lines", "25"});
  ASSERT_FALSE(simulator.path().empty());
  const std::string port = "VERITOR_COM2=" + simulator.path();
  auto result =
      test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "COM2", "--details", "v", "bogus"}, {port});
  EXPECT_EQ(result.exit_status, kExitDeviceError) << result.err;
  EXPECT_EQ(result.out,
            "Opened port COM2, 115200, Parity NONE, Data 8, Stop 1\n"
            "Reading device info\n"
            "Request frame [v]\n"
            "Status info   [00-00-00]\n"
            "Replied frame [VERITOR-SIM/2.24/SN 000001]\n"
            "Device info: [VERITOR-SIM/2.24/SN 000001]\n"
            "Request frame [v]\n"
            "Status info   [00-00-00]\n"
            "Replied frame [VERITOR-SIM/2.24/SN 000001]\n"
            "Request frame [bogus]\n"
            "Status info   [06-00-00]\n"
            "Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code\n"
            "Closed port COM2\n");

  test::TempDir home;
  std::filesystem::create_directory(home.file("out"));
  std::vector<std::string> arguments = {test::BinaryPath("veritor-cli"), "--link", "COM2", "--answer", "yes", "A"};
  for (int i = 0; i < 30; ++i) arguments.push_back("Q");
  arguments.push_back("x/2");
  result = test::RunProgram(arguments, {port, "HOME=" + home.path()});
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;
  EXPECT_GT(test::ReadFile(home.file("out/Z0001_a.txt")).size(), 25u * 3u);
  EXPECT_EQ(test::ReadFile(home.file("out/Z0001_b.txt")).size(), 40u);
  EXPECT_NE(result.err.find("Answered Yes (--answer)"), std::string::npos);
}

// A device error or a refused file does not stop the run; a request that
// fails does (here "x/5" before any "A", which is not sent).
TEST(CliIntegration, FileActionsRunInTheirPlaceAndAFailedRequestEndsTheRun) {
  test::TempDir dir;
  test::WriteFile(dir.file("bad.txt"), "?\r\nbogus\r\n");
  test::WriteFile(dir.file("sign.txt"), "signed text");
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  test::WriteFile(dir.file("short.bmp"), "BM");
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--batch", dir.file("bad.txt"), "--bmp",
                                        dir.file("short.bmp"), "--sign", dir.file("sign.txt"), "x/5", "v"},
                                       {"VERITOR_COM1=" + simulator.path(), "HOME=" + dir.path()});
  EXPECT_EQ(result.exit_status, kExitLinkFailure);
  EXPECT_NE(result.out.find("L00002> bogus\nError 0x06: BADREQ (The request code is unsupported) -- Provide a "
                            "correct request code\nFailed in line 2\nBatch aborted in line 2\n"
                            "Line 1 was carried out; line 2 was refused\nSigning '" +
                            dir.file("sign.txt") + "', 11 byte(s)\nDone. (1 blocks, 11 bytes, "),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.err.find("File error: Could not read bitmap header"), std::string::npos) << result.err;
  EXPECT_TRUE(result.out.ends_with("request not sent\nClosed port COM1\n")) << result.out;
}

TEST(CliIntegration, ASilentDeviceEndsWithStatusTwoAndBadUsageWithSixtyFour) {
  test::SimulatorProcess simulator({"--fault", "enq-silence:3"});
  ASSERT_FALSE(simulator.path().empty());
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "v"}, {"VERITOR_COM1=" + simulator.path()});
  EXPECT_EQ(result.exit_status, kExitLinkFailure);
  EXPECT_NE(result.out.find("Enquire state failed\nFatal device comm error\n"), std::string::npos) << result.out;
  EXPECT_EQ(test::RunProgram({test::BinaryPath("veritor-cli"), "--speed", "99999999999", "v"}).exit_status, kExitUsage);
  EXPECT_EQ(test::RunProgram({test::BinaryPath("veritor-cli"), "--code-page", "65001", "v"}).exit_status, kExitUsage);
  EXPECT_EQ(test::RunProgram({test::BinaryPath("veritor-cli"), "v"}, {"VERITOR_CODE_PAGE=greek"}).exit_status,
            kExitUsage);
  // An address that names no device is refused before a socket opens.
  for (const char* address : {"foo", "255.255.255.255", "0.1.194.0"}) {
    const auto refused = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "udp", "--address", address, "v"});
    EXPECT_EQ(refused.exit_status, kExitLinkFailure) << address;
    EXPECT_NE(refused.out.find("nothing sent"), std::string::npos) << refused.out;
  }
}

TEST(CliArguments, OptionsFollowTheUsualRulesAndActionsKeepTheirOrder) {
  using Kind = Action::Kind;
  const struct {
    std::vector<std::string> arguments;
    std::vector<Action> actions;  // when the line is valid
    std::string error;            // when it is not
  } rows[] = {
      {{"v", "--batch", "b.txt", "?", "--sign=s.txt", "--bmp", "logo.bmp"},
       {{Kind::kRequest, "v"}, {Kind::kBatch, "b.txt"}, {Kind::kRequest, "?"}, {Kind::kSign, "s.txt"},
        {Kind::kBitmap, "logo.bmp"}},
       ""},
      {{"v", "--", "-h", "--sign", "--"}, {{Kind::kRequest, "v"}, {Kind::kRequest, "-h"}, {Kind::kRequest, "--sign"},
                                           {Kind::kRequest, "--"}}, ""},
      {{"-", "@/-"}, {{Kind::kRequest, "-"}, {Kind::kRequest, "@/-"}}, ""},
      {{"--bogus", "v"}, {}, "unknown option --bogus"},
      {{"-x", "v"}, {}, "unknown option -x"},
      {{"--de", "v"}, {}, "unknown option --de"},  // details or detect
      {{"v", "--sign"}, {}, "missing value for --sign"},
      {{"--help=x"}, {}, "unknown option --help=x"},
      {{"--speed", "fast", "v"}, {}, "--speed takes a number of bits per second, not 'fast'"},
      {{"--link", "COM13", "v"}, {}, "--link takes COM1 to COM12, a device path, sdnp, tcp or udp, not 'COM13'"},
      {{"--link=tcp", "v"}, {}, "a network link needs --address (or --detect)"},
      {{"--details"}, {}, "no request given"},
  };
  for (const auto& row : rows) {
    std::string error;
    const auto options = ParseArguments(row.arguments, error);
    EXPECT_EQ(error, row.error) << row.arguments[0];
    if (options) {
      EXPECT_EQ(options->actions, row.actions) << row.arguments[0];
    }
  }
  std::string error;
  const auto options = ParseArguments({"--link=/dev/ttyUSB0", "--speed=9600", "--log", "run.log", "--timestamps",
                                       "--answer=yes", "--detec", "--address", "127.0.0.2", "v"},
                                      error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->link, 1);
  EXPECT_EQ(options->device_path, "/dev/ttyUSB0");
  EXPECT_EQ(options->speed, 9600u);
  EXPECT_EQ(options->log_file, "run.log");
  EXPECT_TRUE(options->timestamps && options->detect && options->answer.value_or(false));
  for (const char* alone : {"-h", "--help", "-V", "--version", "--list-ports"})
    EXPECT_TRUE(ParseArguments({alone}, error)) << alone << ": " << error;
}

TEST(CliArguments, ProgressSaysStepsBytesAndTimeLeft) {
  const struct {
    ActionProgress progress;
    uint32_t elapsed_ms;
    const char* text;
  } rows[] = {
      {{.unit = "blocks", .done = 10, .total = 40, .bytes_done = 7500, .bytes_total = 30000}, 5000,
       "10/40 blocks, 7.3 KB/29.3 KB, 0:15 left"},
      {{.unit = "lines", .done = 3, .bytes_done = 30, .bytes_total = 300}, 500, "3 lines, 30 B/300 B"},
      {{.unit = "rows", .done = 64, .total = 256}, 2000, "64/256 rows, 0:06 left"},
      {{.unit = "blocks", .done = 1400, .total = 4200, .bytes_done = 1 << 20, .bytes_total = 3 << 20}, 1800000,
       "1400/4200 blocks, 1.0 MB/3.0 MB, 1:00:00 left"},
      {{.unit = "rows", .done = 256, .total = 256}, 9000, "256/256 rows"},
  };
  for (const auto& row : rows) EXPECT_EQ(FormatProgress(row.progress, row.elapsed_ms), row.text);
}

// Each program answers -h/--help and --version on stdout with status 0 and
// refuses an unknown option with 64; the window does so without a display.
TEST(CliPrograms, HelpVersionAndUnknownOptions) {
  std::vector<std::string> programs = {"veritor-cli", "veritor-sim"};
  if (access(test::BinaryPath("veritor").c_str(), X_OK) == 0) programs.push_back("veritor");
  const std::vector<std::string> no_display = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"};
  for (const std::string& program : programs) {
    const std::string path = test::BinaryPath(program);
    for (const char* help : {"-h", "--help"}) {
      const auto result = test::RunProgram({path, help}, no_display);
      EXPECT_EQ(result.exit_status, 0) << program << help << result.err;
      EXPECT_TRUE(result.out.starts_with("usage: " + program + " ")) << program << "\n" << result.out;
      // Every long option of the usage lines is described on a line of its own.
      const std::string usage = result.out.substr(0, result.out.find("\n\n"));
      for (size_t at = usage.find("[--"); at != std::string::npos; at = usage.find("[--", at + 1)) {
        const std::string option = usage.substr(at + 1, usage.find_first_of(" ]=", at) - at - 1);
        if (option == "--") continue;
        EXPECT_NE(result.out.find("\n  " + option + " "), std::string::npos) << program << " " << option;
      }
    }
    auto result = test::RunProgram({path, "--version"}, no_display);
    EXPECT_EQ(result.exit_status, 0) << program;
    EXPECT_EQ(result.out, program + " " + VERITOR_VERSION + "\n");
    result = test::RunProgram({path, "--no-such-option"}, no_display);
    EXPECT_EQ(result.exit_status, kExitUsage) << program;
    EXPECT_NE(result.err.find("no-such-option"), std::string::npos) << program << ": " << result.err;
    EXPECT_TRUE(result.out.empty()) << program;
  }
}

// The window without a display to show it on, or with a screenshot it cannot write: a word on stderr that
// names what to do or the path, and a status that is not a crash.
TEST(CliPrograms, TheWindowWithoutADisplayOrAScreenshotFolder) {
  const std::string veritor = test::BinaryPath("veritor");
  if (access(veritor.c_str(), X_OK) != 0) GTEST_SKIP() << "built without the window";
  test::TempDir dir;
  const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir.path()};
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> environment;
    int status;
    std::string said;
  } rows[] = {
      {{}, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}, 1, "(DISPLAY is not set).\nRun it on a virtual "
                                                                   "display, xvfb-run -a veritor, or use the command "
                                                                   "line: veritor-cli --help.\n"},
      {{}, {"DISPLAY=:65000", "QT_QPA_PLATFORM=xcb"}, 1, "(DISPLAY :65000 cannot be reached)"},
      {{"--screenshot", "/no/such/dir/w.png"}, offscreen, kExitUsage,
       "cannot write the screenshot to '/no/such/dir/w.png': the folder does not exist\n"},
      {{"--screenshot", dir.file("w.xyz")}, offscreen, kExitUsage, "'" + dir.file("w.xyz") + "': no image format"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv = {veritor};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const auto result = test::RunProgram(argv, row.environment);
    EXPECT_EQ(result.exit_status, row.status) << result.err;
    EXPECT_NE(result.err.find(row.said), std::string::npos) << result.err;
  }
}

// A batch line over 1500 bytes is sent as its first 1500 (core's tests hold the line of 1500), and the run says so
// and ends with status 1.
TEST(CliIntegration, ABatchLineOverTheLongestIsSentCutAndTheRunFails) {
  test::TempDir dir;
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  test::WriteFile(dir.file("batch"), "{/0\r\n@/" + std::string(1499, 't') + "\r\n}\r\n");
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--batch", dir.file("batch")},
                                       {"VERITOR_COM1=" + simulator.path(), "HOME=" + dir.path()});
  EXPECT_EQ(result.exit_status, kExitDeviceError) << result.out << result.err;
  EXPECT_TRUE(result.out.ends_with("\nL00002> @/" + std::string(1498, 't') +
                                   "\nLine 2: 1501 bytes, sent as its first 1500\nL00003> }\n"
                                   "Batch cut: 1 of 3 lines sent as their first 1500 bytes\nClosed port COM1\n"))
      << result.out;
}

TEST(CliPrograms, ListPortsNamesThePathEachComPortOpens) {
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--list-ports"},
                                       {"VERITOR_COM2=/nonexistent/com2", "VERITOR_COM3=/dev/null", "VERITOR_COM5="});
  EXPECT_EQ(result.exit_status, kExitOk);
  EXPECT_NE(result.out.find("COM1   /dev/ttyS0"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nCOM2   /nonexistent/com2 (VERITOR_COM2) (missing)\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nCOM3   /dev/null (VERITOR_COM3)\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nCOM5   /dev/ttyS4"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nCOM12  /dev/ttyS11"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("(cannot be opened: COM1 to COM4 only)\n"), std::string::npos) << result.out;
}

// The device (named by its path) gets "-h" as a request when it stands after
// "--"; the log goes to the file as well, each entry with its date and time.
TEST(CliIntegration, ADashRequestAfterTheDoubleDashAndTheLogFile) {
  test::TempDir dir;
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", simulator.path(), "--details",
                                        "--timestamps", "--log", dir.file("run.log"), "--", "-h"},
                                       {"VERITOR_COM1=" + dir.file("not-this-one")});
  EXPECT_EQ(result.exit_status, kExitDeviceError) << result.err;
  EXPECT_NE(Digits(result.out).find("\n##:##:##.###  Request frame [-h]\n"), std::string::npos) << result.out;
  const std::string log = Digits(test::ReadFile(dir.file("run.log")));
  EXPECT_NE(log.find("\n####-##-## ##:##:##.###  Request frame [-h]\n"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("\n####-##-## ##:##:##.###  Closed port COM#\n")) << log;
}

// A file that cannot be read ends the run before the link opens: nothing
// reaches the device (a pty that nobody serves would hang the connect).
TEST(CliIntegration, AFileThatCannotBeReadIsRefusedBeforeTheLinkOpens) {
  test::TempDir dir;
  test::WriteFile(dir.file("ok.txt"), "text");
  mkfifo(dir.file("fifo").c_str(), 0600);
  const struct {
    const char* option;
    std::string file;
    std::string reason;
  } rows[] = {
      {"--sign", dir.file("none.txt"), "No such file or directory"},
      {"--batch", dir.path(), "Is a directory"},
      {"--bmp", dir.file("fifo"), "not a regular file"},
      {"--sign", dir.file("ok.txt/x"), "Not a directory"},
  };
  for (const auto& row : rows) {
    const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "v", "--sign", dir.file("ok.txt"), row.option,
                                          row.file, "v"},
                                         {"VERITOR_COM1=" + dir.file("no-port")});
    EXPECT_EQ(result.exit_status, kExitLinkFailure) << row.file;
    EXPECT_EQ(result.out, "") << row.file;
    EXPECT_EQ(result.err, "Error: cannot read '" + row.file + "': " + row.reason + "\n");
  }
}

// Ctrl-C in the middle of a signing run: the exchange under way ends, the
// log says the signature block is left open, the port closes, status 130.
TEST(CliIntegration, SigintDuringSigningStopsBetweenBlocksAndClosesTheLink) {
  test::TempDir dir;
  test::WriteFile(dir.file("big.txt"), std::string(8 << 20, 'a'));
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  const pid_t pid = test::Spawn({test::BinaryPath("veritor-cli"), "--sign", dir.file("big.txt"), "v"},
                                {"VERITOR_COM1=" + simulator.path()}, fileno(out), fileno(err));
  ASSERT_GT(pid, 0);
  // Wait until a few blocks have gone, then interrupt.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string log;
  while (log.find("Signing '") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = test::ReadAll(fileno(out));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGINT);
  EXPECT_EQ(test::WaitForExit(pid), kExitInterrupted);
  log = test::ReadAll(fileno(out));
  const std::string errors = test::ReadAll(fileno(err));
  std::fclose(out);
  std::fclose(err);
  const size_t stopped = log.find("\nSigning stopped after block ");
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_GT(std::stoul(log.substr(stopped + 29)), 0u) << log;
  EXPECT_NE(log.find(" of 11185; the device's signature block is still open: it refuses the next \"{/0\" until \"}\"",
                     stopped),
            std::string::npos)
      << log;
  EXPECT_TRUE(log.ends_with(" byte(s) sent)\nClosed port COM1\n")) << log;
  EXPECT_EQ(log.find("Done."), std::string::npos);
  EXPECT_EQ(errors.find("blocks"), std::string::npos) << "progress only on a terminal: " << errors;
  // The device then refuses a new block until "}" closes the old one.
  const auto next = test::RunProgram({test::BinaryPath("veritor-cli"), "{/0", "}", "{/0", "}"},
                                     {"VERITOR_COM1=" + simulator.path()});
  EXPECT_EQ(next.exit_status, kExitDeviceError) << next.out;
}

// With stderr on a terminal a signing run redraws one progress line there
// and wipes it at the end; the log on stdout is the same as without it.
TEST(CliIntegration, ProgressGoesToATerminalOnly) {
  test::TempDir dir;
  test::WriteFile(dir.file("doc.txt"), std::string(40 * 750, 'a'));
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  int master = -1;
  int terminal = -1;
  ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  FILE* out = std::tmpfile();
  const pid_t pid = test::Spawn({test::BinaryPath("veritor-cli"), "--sign", dir.file("doc.txt")},
                                {"VERITOR_COM1=" + simulator.path()}, fileno(out), terminal);
  close(terminal);
  std::string shown;  // all that reached the terminal; read as it comes, so that it never fills
  char chunk[512];
  for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) shown.append(chunk, static_cast<size_t>(n));
  EXPECT_EQ(test::WaitForExit(pid), kExitOk);
  close(master);
  EXPECT_NE(shown.find("\rsign: 40/40 blocks, 29.3 KB/29.3 KB"), std::string::npos) << shown;
  EXPECT_TRUE(shown.ends_with("\r\033[K")) << shown;
  EXPECT_NE(test::ReadAll(fileno(out)).find("\nDone. (40 blocks, 30000 bytes, "), std::string::npos);
  std::fclose(out);
}

}  // namespace
}  // namespace veritor::cli
