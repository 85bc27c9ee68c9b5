#include "cli/cli_app.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cctype>
#include <deque>
#include <filesystem>
#include <map>
#include <cstring>
#include <thread>

#include "tests/support/fake_network.h"
#include "net/net_constants.h"
#include "tests/support/process.h"
#include "tests/support/pty_wire_device.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"

namespace veritor::cli {
namespace {

// Scripts rely on the exit statuses: the numbers are written out here, not taken from the program.
static_assert(kExitOk == 0 && kExitDeviceError == 1 && kExitLinkFailure == 2 && kExitUsage == 64 &&
              kExitInterrupted == 130);

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
  const auto script = [&run] {
    run.device.Script({{"v", {"00/00/00/DEVICE"}}, {"A", {"80/00/00/001/Z0043"}},
                       {"Q", {"80/00/00/0/Total", "80/00/00/3/"}}});
  };
  script();
  EXPECT_EQ(run.Run({"A", "Q"}), kExitLinkFailure);
  EXPECT_TRUE(run.log.Contains("Cannot create the A file '" + run.home.file("out/Z0043_a.txt") +
                               "': No such file or directory"));
  std::filesystem::create_directory(run.home.file("out"));
  script();
  EXPECT_EQ(run.Run({"A", "Q"}), kExitDeviceError) << "the warning, and no file failure";
  EXPECT_TRUE(run.log.Contains("Report 'Z0043' was not read to its end (1 line(s)); its A file is not written"));
  EXPECT_TRUE(std::filesystem::is_empty(run.home.file("out")));
  script();
  EXPECT_EQ(run.Run({"A", "Q", "Q"}), kExitDeviceError);
  EXPECT_EQ(test::ReadFile(run.home.file("out/Z0043_a.txt")), "Total\r\n");
}

// --tcp-reply-end: a device that ends each reply by closing the connection
// works when it is said so, and otherwise fails clearly, its replies never taken.
TEST(CliRun, TheTcpReplyEndOptionServesADeviceThatClosesAfterEachReply) {
  WireRun run;
  run.wire.respond = [&run](const test::FakeWire::Datagram& sent) {
    run.wire.stream_in += sent.bytes.starts_with("v\r\n") ? "00/00/00/DEVICE" : "00/00/00";
    run.wire.peer_closed = true;
  };
  EXPECT_EQ(run.Run({"--link", "tcp", "--address", "127.0.0.2", "--tcp-reply-end", "close", "v", "?"}), kExitOk)
      << testing::PrintToString(run.log.entries);
  EXPECT_TRUE(run.log.Contains("Device info: [DEVICE]"));
  run.log.entries.clear();
  EXPECT_EQ(run.Run({"--link", "tcp", "--address", "127.0.0.2", "v"}), kExitLinkFailure);
  EXPECT_TRUE(run.log.Contains("TCP: the device closed the connection in the middle of a reply; 15 bytes not taken"));
}

// Command-line requests go out in the code page, device bytes come out as
// UTF-8; a character the page lacks is refused and the run goes on. A batch
// file's UTF-8 line goes out as its bytes, and the log says so: each entry
// knows whether it holds the device's bytes or the console's own text.
TEST(CliRun, RequestsAreWrittenInTheCodePageAndRepliesShownInUtf8) {
  WireRun run;
  run.device.Script({{"v", {"00/00/00/\xCA\xC1\xCB\xC7"}}, {"\xCA\xC1\xCB\xC7", {"00/00/00/\xD1\xC1"}},
                     {"@/\xC5", {"00/00/00/ok"}}});
  test::WriteFile(run.home.file("utf8.txt"), "E/Αβ\n");
  EXPECT_EQ(run.Run({"--details", "ΚΑΛΗ", "☺", "@/Ε", "--batch", run.home.file("utf8.txt")}), kExitLinkFailure);
  EXPECT_EQ(run.device.requests, (std::vector<std::string>{"v", "\xCA\xC1\xCB\xC7", "@/\xC5", "E/\xCE\x91\xCE\xB2"}));
  const auto origin = [&](const std::string& entry) {
    const auto at = std::ranges::find(run.log.entries, entry);
    EXPECT_NE(at, run.log.entries.end()) << entry;
    return at == run.log.entries.end() ? LogText::kHost : run.log.origins[at - run.log.entries.begin()];
  };
  EXPECT_EQ(origin("Request not sent: U+263A cannot be written in code page 1253"), LogText::kHost);
  EXPECT_EQ(origin("Replied frame [\xD1\xC1]"), LogText::kDevice) << "the log keeps the device's bytes";
  EXPECT_EQ(origin("L00001> E/\xCE\x91\xCE\xB2"), LogText::kDevice) << "what the device got";
  EXPECT_EQ(origin("Request frame [E/\xCE\x91\xCE\xB2]"), LogText::kDevice);

  run.device.requests.clear();
  EXPECT_EQ(run.Run({"--code-page", "737", "ΚΑΛΗ"}), kExitDeviceError) << "another page, other bytes";
  EXPECT_EQ(run.device.requests.back(), "\x89\x80\x8A\x86");

  std::FILE* out = std::tmpfile();
  StreamLogSink sink(out, *CodePage::Find(1253));
  sink.AppendLogText("Device info: [\xCA\xC1\xCB\xC7\x1B[2J]", LogText::kDevice);
  sink.AppendLogText("Signing '/tmp/Έγγραφα', 1 byte(s)", LogText::kHost);
  EXPECT_EQ(test::ReadAll(fileno(out)), "Device info: [ΚΑΛΗ\\x1B[2J]\nSigning '/tmp/Έγγραφα', 1 byte(s)\n");
  std::fclose(out);
}

// The text with each digit as '#', for lines that hold the time.
// (No std::regex: GCC 12 with -fsanitize=address warns inside <regex>.)
std::string Digits(std::string text) {
  for (char& c : text) c = std::isdigit(static_cast<unsigned char>(c)) ? '#' : c;
  return text;
}

// Runs of the real program against the simulated device over a pty: a whole log, and where a
// device error, a refused file, a failed request, a silent device or a batch line cut end the run.
TEST(CliIntegration, RunsAgainstTheSimulatedDeviceOverAPty) {
  test::TempDir dir;
  test::WriteFile(dir.file("bad.txt"), "?\r\nbogus\r\n");
  test::WriteFile(dir.file("sign.txt"), "signed text");
  test::WriteFile(dir.file("short.bmp"), "BM");
  test::WriteFile(dir.file("cut"), "{/0\r\n@/" + std::string(1499, 't') + "\r\n}\r\n");
  const struct {
    const char* what;
    std::vector<std::string> simulator, arguments;
    int status;
    std::string in_out, out_ends, in_err;
  } rows[] = {
      {"the whole log", {}, {"--link", "COM2", "--details", "v", "bogus"}, kExitDeviceError, "",
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
       "Closed port COM2\n",
       ""},
      // A device error or a refused file does not stop the run; a failed request ("x/5" before any "A") does.
      {"file actions in their place",
       {},
       {"--batch", dir.file("bad.txt"), "--bmp", dir.file("short.bmp"), "--sign", dir.file("sign.txt"), "x/5", "v"},
       kExitLinkFailure,
       "L00002> bogus\nError 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code\n"
       "Failed in line 2\nBatch aborted in line 2\nLine 1 was carried out; line 2 was refused\nSigning '" +
           dir.file("sign.txt") + "', 11 byte(s)\nDone. (1 blocks, 11 bytes, ",
       "request not sent\nClosed port COM1\n", "File error: Could not read bitmap header"},
      {"a silent device", {"--fault", "enq-silence:3"}, {"v"}, kExitLinkFailure,
       "Enquire state failed\nFatal device comm error\n", "", ""},
      // A batch line over 1500 bytes is sent as its first 1500 (core's tests hold the line of 1500), and the
      // run says so and ends with status 1.
      {"a batch line cut", {}, {"--batch", dir.file("cut")}, kExitDeviceError, "",
       "\nL00002> @/" + std::string(1498, 't') +
           "\nLine 2: 1501 bytes, sent as its first 1500\nL00003> }\n"
           "Batch cut: 1 of 3 lines sent as their first 1500 bytes\nClosed port COM1\n",
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::SimulatorProcess simulator(row.simulator);
    ASSERT_FALSE(simulator.path().empty());
    std::vector<std::string> arguments = {test::BinaryPath("veritor-cli")};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    const auto result = test::RunProgram(
        arguments, {"VERITOR_COM1=" + simulator.path(), "VERITOR_COM2=" + simulator.path(), "HOME=" + dir.path()});
    EXPECT_EQ(result.exit_status, row.status) << result.out << result.err;
    EXPECT_NE(result.out.find(row.in_out), std::string::npos) << result.out;
    EXPECT_TRUE(result.out.starts_with("Opened port COM") && result.out.ends_with(row.out_ends)) << result.out;
    EXPECT_NE(result.err.find(row.in_err), std::string::npos) << result.err;
  }
}

// Bad usage ends with 64; an address that names no device is refused before a socket opens, with 2.
TEST(CliIntegration, BadUsageEndsWithSixtyFourAndAnAddressOfNoDeviceWithTwo) {
  EXPECT_EQ(test::RunProgram({test::BinaryPath("veritor-cli"), "--code-page", "65001", "v"}).exit_status, kExitUsage);
  EXPECT_EQ(test::RunProgram({test::BinaryPath("veritor-cli"), "v"}, {"VERITOR_CODE_PAGE=greek"}).exit_status,
            kExitUsage);
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
      {{"--tcp-reply-end", "lf", "v"}, {}, "--tcp-reply-end takes crlf, close or quiet, not 'lf'"},
      {{"--speed", "4000000", "v"}, {{Kind::kRequest, "v"}}, ""},
      {{"--speed", "4000001", "v"}, {}, "--speed takes a number of bits per second, not '4000001'"},
      {{"--speed", "1", "v"}, {{Kind::kRequest, "v"}}, ""},
      {{"--speed", "0", "v"}, {}, "--speed takes a number of bits per second, not '0'"},
      {{"--speed", "99999999999", "v"}, {}, "--speed takes a number of bits per second, not '99999999999'"},
      {{"--link", "COM12", "v"}, {{Kind::kRequest, "v"}}, ""},
      {{"--link", "COM0", "v"}, {}, "--link takes COM1 to COM12, a device path, sdnp, tcp or udp, not 'COM0'"},
      // What a plan run would ignore is refused.
      {{"--plan", "p.txt", "v"}, {}, "--plan takes no requests or file actions besides it"},
      {{"--record"}, {}, "missing value for --record"},
      {{"--report", "r.xml", "v"}, {}, "--report needs --plan (or --record)"},
      {{"--keep-going", "v"}, {}, "--keep-going needs --plan"},
      {{"--plan", "a.plan", "--plan", "b.plan"}, {}, "--plan given twice: one plan a run"},
      {{"--detect", "--plan", "a.plan"}, {}, "--detect finds network devices: it takes --link sdnp, tcp or udp"},
      {{"--link", "udp", "--address", "127.0.0.2", "--address", "127.0.0.3", "v"}, {},
       "--address given twice (a plan runs on several devices)"},
      {{"--check"}, {}, "--check needs a plan to check"},
      {{"--check", "--plan", "a.plan"}, {}, "--check takes the plans as its arguments"},
  };
  for (const auto& row : rows) {
    std::string error;
    const auto options = ParseArguments(row.arguments, error);
    EXPECT_EQ(error, row.error) << row.arguments[0];
    EXPECT_EQ(options.has_value(), row.error.empty()) << row.arguments[0];
    if (options) {
      EXPECT_EQ(options->actions, row.actions) << row.arguments[0];
    }
  }
  std::string error;
  const auto options = ParseArguments({"--link=/dev/ttyUSB0", "--speed=9600", "--log", "run.log", "--timestamps",
                                       "--answer=yes", "--address", "127.0.0.2", "--tcp-reply-end=quiet", "v"},
                                      error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->tcp_reply_end, TcpReplyEnd::kQuiet);
  EXPECT_EQ(options->link, 1);
  EXPECT_EQ(options->device_path, "/dev/ttyUSB0");
  EXPECT_EQ(options->speed, 9600u);
  EXPECT_EQ(options->log_file, "run.log");
  EXPECT_TRUE(options->timestamps && options->answer.value_or(false));
  const auto plan = ParseArguments({"--link", "tcp", "--address", "127.0.0.2", "--address", "127.0.0.3", "--plan",
                                    "p.txt", "--report", "r.xml", "--keep-going"},
                                   error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->addresses, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_TRUE(plan->keep_going && plan->report == "r.xml");
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

// The device of the runs below: "v" answered as a device does, every other
// request with `reply` (none when empty).
test::PtyWireDevice::Answer InfoThen(std::string reply) {
  return [reply = std::move(reply)](const std::string& request) {
    return request == "v" ? std::string("00/00/00/WIRE DEVICE") : reply;
  };
}

// veritor-cli started with stdout and stderr into files.
struct SpawnedCli {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  pid_t pid = -1;
  SpawnedCli(std::vector<std::string> arguments, std::vector<std::string> env) {
    arguments.insert(arguments.begin(), test::BinaryPath("veritor-cli"));
    pid = test::Spawn(arguments, env, fileno(out), fileno(err));
  }
  ~SpawnedCli() {
    std::fclose(out);
    std::fclose(err);
  }
  std::string Out() const { return test::ReadAll(fileno(out)); }
  std::string Err() const { return test::ReadAll(fileno(err)); }
  // Sends `signal` and waits for the end: the exit status and the milliseconds it took.
  std::pair<int, long> Signal(int signal) const {
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, signal);
    const int status = test::WaitForExit(pid);
    const auto took = std::chrono::steady_clock::now() - sent;
    return {status, static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())};
  }
};

template <typename Condition>
bool Within(std::chrono::milliseconds limit, Condition condition) {
  for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// Exchanges that never end by themselves: a device busy for ever, NAKs where
// the reply's STX belongs, an STX and then bytes without end. A stop signal
// ends each (the BUSY repeat within 100 ms, a wait for the device after the
// grace time) with status 130, a line that says what the device may hold,
// and the port closed.
TEST(CliSignals, AStopSignalEndsAnEndlessExchangeWithStatus130) {
  const struct {
    const char* what;
    const char* reply;
    const char* stream;
    const char* opening;
    int signal;
    const char* line;
  } rows[] = {
      {"busy for ever", "0E/00/00", "", "", SIGINT,
       "Stopped while the device answered busy (0x0E); the request was not carried out"},
      {"printer off line for ever", "1A/00/00", "", "", SIGTERM,
       "Stopped while the device answered busy (0x1A); the request was not carried out"},
      {"a NAK every 10 ms before the STX", "", "\x15", "", SIGINT,
       "Stopped while awaiting the reply; the device may have carried out the request"},
      {"STX, then bytes without ETX", "", "x", "\x02", SIGTERM,
       "Stopped while awaiting the reply; the device may have carried out the request"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::PtyWireDevice device(InfoThen(row.reply), row.stream, row.opening);
    ASSERT_FALSE(device.path().empty());
    SpawnedCli cli({"Q"}, {"VERITOR_COM1=" + device.path()});
    ASSERT_GT(cli.pid, 0);
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return device.requests() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto [status, ms] = cli.Signal(row.signal);
    EXPECT_EQ(status, kExitInterrupted) << cli.Out();
    EXPECT_LT(ms, row.reply[0] != '\0' ? 100 : Host::kStopGraceMs + 400) << "from the signal to the exit";
    std::printf("[ figure   ] %s: %ld ms from the signal to the exit\n", row.what, ms);
    const std::string log = cli.Out();
    EXPECT_NE(log.find(std::string("\n") + row.line + "\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("Closed port COM1\n")) << log;
  }
}

// A device whose connection never stands (its accept queue is full, so the
// connect's SYN goes unanswered): SIGTERM ends the run at once, status 130.
TEST(CliSignals, SigtermDuringATcpConnectEndsTheRunAtOnce) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTcpPort);
  address.sin_addr.s_addr = htonl(0x7F00004D);  // 127.0.0.77
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  ASSERT_EQ(listen(listener, 0), 0);
  int fillers[2];
  for (int& filler : fillers) {
    filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SpawnedCli cli({"--link", "tcp", "--address", "127.0.0.77", "v"}, {});
  ASSERT_GT(cli.pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const auto [status, ms] = cli.Signal(SIGTERM);
  EXPECT_EQ(status, kExitInterrupted);
  EXPECT_LT(ms, 1000);
  EXPECT_NE(cli.Out().find("TCP: connecting to 127.0.0.77 stopped\n"), std::string::npos) << cli.Out();
  for (int filler : fillers) close(filler);
  close(listener);
}

// An output that fails: `path` opened for writing, or (null) a pipe whose reader is gone.
int FailingOutput(const char* path) {
  int ends[2] = {-1, -1};
  if (path != nullptr) return open(path, O_WRONLY);
  if (pipe(ends) == 0) close(ends[0]);
  return ends[1];
}

// Whatever cannot take the log (a full device, a full file system, a reader
// that went away) ends the run with status 74 and one line on stderr; the
// device gets no request after it (here the first line already fails).
TEST(CliOutput, ALogThatCannotBeWrittenEndsTheRunWithStatus74) {
  test::TempDir dir;
  const struct {
    const char* what;
    const char* stdout_to;  // a path; null: a pipe whose reader is gone
    std::string log_file;
    bool in_namespace;  // the --log file lies on a full tmpfs mounted in a namespace made for the test
    std::string error;
  } rows[] = {
      {"stdout on a full device", "/dev/full", "", false, "stdout: No space left on device"},
      {"stdout into a pipe nobody reads", nullptr, "", false, "stdout: Broken pipe"},
      {"--log on a full device", "/dev/null", "/dev/full", false, "'/dev/full': No space left on device"},
      {"--log on a full file system", "/dev/null", dir.file("full/run.log"), true,
       "'" + dir.file("full/run.log") + "': No space left on device"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::PtyWireDevice device(InfoThen("00/00/00"));
    ASSERT_FALSE(device.path().empty());
    std::vector<std::string> command = {test::BinaryPath("veritor-cli"), "v", "v"};
    if (!row.log_file.empty()) command.insert(command.begin() + 1, {"--log", row.log_file});
    if (row.in_namespace) {
      std::filesystem::create_directory(dir.file("full"));
      std::string script = "mount -t tmpfs -o size=16k tmpfs " + dir.file("full") + " || exit 99; head -c 1M /dev/zero > " +
                           dir.file("full/fill") + " 2>/dev/null; exec \"$@\"";
      command.insert(command.begin(), {"/usr/bin/unshare", "-rm", "sh", "-c", script, "sh"});
    }
    const int out = FailingOutput(row.stdout_to);
    FILE* err = std::tmpfile();
    const pid_t pid = test::Spawn(command, {"VERITOR_COM1=" + device.path()}, out, fileno(err));
    const int status = test::WaitForExit(pid);
    close(out);
    const std::string errors = test::ReadAll(fileno(err));
    std::fclose(err);
    if (row.in_namespace && (status == 99 || errors.find("unshare") != std::string::npos)) {
      std::printf("[  SKIPPED ] %s: no user and mount namespace here (%s)\n", row.what, errors.c_str());
      continue;
    }
    EXPECT_EQ(status, kExitOutputFailed) << errors;
    EXPECT_EQ(errors, "Error: cannot write the log to " + row.error + "; the run stops\n");
    EXPECT_EQ(device.requests(), 0u);
  }
  // An answer that cannot be written fails as well.
  const int full = FailingOutput("/dev/full");
  FILE* err = std::tmpfile();
  const pid_t pid = test::Spawn({test::BinaryPath("veritor-cli"), "--help"}, {}, full, fileno(err));
  EXPECT_EQ(test::WaitForExit(pid), kExitOutputFailed);
  close(full);
  EXPECT_EQ(test::ReadAll(fileno(err)), "veritor-cli: cannot write to stdout: No space left on device\n");
  std::fclose(err);
}

// A signing run stopped by Ctrl-C, or by a reader of stdout that goes away (`... | head -20`), stops
// between blocks: the --log file says the signature block is left open, the port closes, there is no
// "Done.", and stderr says why (and never shows the progress, which is for a terminal only).
TEST(CliOutput, AStopOrAGoneReaderEndsASigningRunBetweenBlocks) {
  test::TempDir dir;
  test::WriteFile(dir.file("big.txt"), std::string(1 << 20, 'a'));
  const struct {
    bool interrupt;  // SIGINT after 20 lines; else the reader of stdout leaves then
    int status;
    std::string err;
  } rows[] = {
      {true, kExitInterrupted, ""},
      {false, kExitOutputFailed, "Error: cannot write the log to stdout: Broken pipe; the run stops\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.interrupt ? "SIGINT" : "the reader gone");
    test::PtyWireDevice device(InfoThen("00/00/00"));
    ASSERT_FALSE(device.path().empty());
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);  // the program must not hold the reader's end
    FILE* err = std::tmpfile();
    const pid_t pid = test::Spawn({test::BinaryPath("veritor-cli"), "--details", "--log", dir.file("run.log"), "--sign",
                                   dir.file("big.txt")},
                                  {"VERITOR_COM1=" + device.path()}, ends[1], fileno(err));
    close(ends[1]);
    ASSERT_GT(pid, 0);
    int lines = 0;
    for (char c; lines < 20 && read(ends[0], &c, 1) == 1;) lines += c == '\n';
    if (row.interrupt) kill(pid, SIGINT);
    for (char chunk[4096]; row.interrupt && read(ends[0], chunk, sizeof chunk) > 0;) {
    }
    close(ends[0]);
    EXPECT_EQ(test::WaitForExit(pid), row.status);
    EXPECT_EQ(test::ReadAll(fileno(err)), row.err);
    std::fclose(err);
    const std::string log = test::ReadFile(dir.file("run.log"));
    const size_t stopped = log.find("Signing stopped after block ");
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_NE(log.find(" of 1399; the device's signature block is still open: it refuses the next \"{/0\" until \"}\"",
                       stopped),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" byte(s) sent)\n", stopped), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("  Closed port COM1\n")) << log;
    EXPECT_EQ(log.find("Done."), std::string::npos) << log;
    EXPECT_LT(device.requests(), 100u) << "the run went on";
  }
}

// The window's echo of its log (--echo-log) into a pipe whose reader went
// away, or onto a full device: the echo stops, the window's log says so once
// with the reason (seen here in its log folder file), and the window goes on.
TEST(WindowEcho, AnEchoThatCannotBeWrittenStopsAndTheWindowGoesOn) {
  if (access(test::BinaryPath("veritor").c_str(), X_OK) != 0) GTEST_SKIP() << "the window is not built";
  for (const char* stdout_to : {static_cast<const char*>(nullptr), "/dev/full"}) {
    SCOPED_TRACE(stdout_to != nullptr ? stdout_to : "a pipe nobody reads");
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("config/Veritor"));
    test::WriteFile(dir.file("config/Veritor/veritor.conf"),
                    "[General]\nlog_folder=" + dir.file("logs") + "\nlog_per_day=false\n");
    const int out = FailingOutput(stdout_to);
    FILE* err = std::tmpfile();
    const pid_t pid = test::Spawn({test::BinaryPath("veritor"), "--echo-log"},
                                  {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.file("config"),
                                   "XDG_RUNTIME_DIR=" + dir.path(), "VERITOR_COM1=" + dir.file("no-port")},
                                  out, fileno(err));
    close(out);
    ASSERT_GT(pid, 0);
    const std::string said = std::string("Echo of the log on stdout stopped: ") +
                             (stdout_to != nullptr ? "No space left on device" : "Broken pipe");
    std::string log;
    const auto read_log = [&] {
      log.clear();
      std::error_code ignored;
      for (const auto& file : std::filesystem::directory_iterator(dir.file("logs"), ignored))
        log += test::ReadFile(file.path().string());
      return log.find(said) != std::string::npos;
    };
    EXPECT_TRUE(Within(std::chrono::seconds(20), read_log)) << log << test::ReadAll(fileno(err));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the window is gone: " << status;
    kill(pid, SIGTERM);
    test::WaitForExit(pid);
    read_log();
    EXPECT_EQ(log.find(said), log.rfind(said)) << "said once: " << log;
    std::fclose(err);
  }
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

// A file that announces 0 bytes and holds more is not signed: status 2, the
// device asked for nothing after "v".
TEST(CliRun, AFileThatIsNotWhatItAnnouncesIsNotSigned) {
  WireRun run;
  run.device.Script({{"v", {"00/00/00/DEVICE"}}});
  EXPECT_EQ(run.Run({"--sign", "/proc/self/status"}), kExitLinkFailure);
  EXPECT_EQ(run.device.requests, std::vector<std::string>{"v"});
  EXPECT_FALSE(run.log.Contains("Done."));
}

// The Z-report question on a terminal: the typed line is the answer whole,
// however long, and nothing of it answers the next question (No to "x/2",
// then "yes" to "x/5"); Ctrl-C at the question ends the run with nothing
// sent, no "x/5" either, status 130.
TEST(CliIntegration, TheZReportQuestionOnATerminal) {
  const struct {
    const char* what;
    std::string typed;
    bool interrupt;
    int status;
    std::vector<std::string> sent;  // after "v", "A", "Q", "Q"
  } rows[] = {
      {"a long No, then yes", "n" + std::string(300, 'x') + "\nyes\n", false, kExitOk, {"x/5"}},
      {"Ctrl-C", "", true, kExitInterrupted, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::TempDir home;
    std::filesystem::create_directory(home.file("out"));
    test::WirePty pty;
    pty.device.Script({{"v", {"00/00/00/DEVICE"}}, {"A", {"00/00/00/001/Z0043"}},
                       {"Q", {"00/00/00/0/Total", "00/00/00/3/"}}, {"x/2", {"00/00/00"}}, {"x/5", {"00/00/00"}}});
    const std::string port = pty.Start();
    ASSERT_FALSE(port.empty());
    int keyboard = -1, terminal = -1;
    ASSERT_EQ(openpty(&keyboard, &terminal, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(write(keyboard, row.typed.data(), row.typed.size()), static_cast<ssize_t>(row.typed.size()));
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const pid_t pid = test::Spawn({test::BinaryPath("veritor-cli"), "--link", port, "A", "Q", "Q", "x/2"},
                                  {"HOME=" + home.path()}, fileno(out), fileno(err), terminal);
    ASSERT_GT(pid, 0);
    if (row.interrupt) {
      const auto asked = [&] { return test::ReadAll(fileno(err)).find("Yes or No? [y/N] ") != std::string::npos; };
      EXPECT_TRUE(Within(std::chrono::seconds(20), asked));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      kill(pid, SIGINT);
    }
    EXPECT_EQ(test::WaitForExit(pid), row.status);
    const std::string log = test::ReadAll(fileno(out));
    std::vector<std::string> sent = {"v", "A", "Q", "Q"};
    sent.insert(sent.end(), row.sent.begin(), row.sent.end());
    EXPECT_EQ(pty.Requests(), sent) << log << test::ReadAll(fileno(err));
    EXPECT_EQ(log.find("Stopped at the Z report's question; request not sent\n") != std::string::npos, row.interrupt)
        << log;
    std::fclose(out);
    std::fclose(err);
    close(keyboard);
    close(terminal);
  }
}

// A disk that fills in the middle of a report (a 16 KiB tmpfs on out/, in a
// user and mount namespace of the test's own): the report is dropped whole,
// with one line that says which line was lost; no question, no "x/2", the
// earlier pair of that name as it was, no file left behind, status 2.
TEST(CliIntegration, AReportThatLosesALineOnAFullDiskIsDroppedWhole) {
  test::TempDir home;
  std::filesystem::create_directory(home.file("out"));
  // The shell keeps a HOME of its own: the test's is set in the script.
  const std::string mount = "HOME='" + home.path() + "'; export HOME; mount -t tmpfs -o size=16k tmpfs \"$HOME/out\"";
  const auto probe = test::RunProgram({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", mount});
  if (probe.exit_status != 0) GTEST_SKIP() << "no tmpfs in a user and mount namespace here: " << probe.err;

  test::WirePty pty;
  const std::string line = "00/00/00/0/" + std::string(49, 'L');  // 51 bytes in the A file
  std::deque<std::string> lines(400, line);
  lines.push_back("00/00/00/3/");
  pty.device.Script({{"v", {"00/00/00/DEVICE"}}, {"A", {"00/00/00/001/Z0043"}}, {"Q", lines}, {"x/2", {"00/00/00"}}});
  const std::string port = pty.Start();
  ASSERT_FALSE(port.empty());
  std::vector<std::string> arguments = {
      "/usr/bin/unshare", "-rm", "/bin/sh", "-c",
      mount + " && printf 'earlier\\r\\n' >\"$HOME/out/Z0043_a.txt\" && printf EARLIER >\"$HOME/out/Z0043_b.txt\" && "
              "\"$0\" \"$@\"; status=$?; cd \"$HOME/out\" && echo * && cat Z0043_a.txt Z0043_b.txt && exit $status",
      std::filesystem::absolute(test::BinaryPath("veritor-cli")), "--link", port, "--answer", "yes", "A"};
  for (int i = 0; i < 401; ++i) arguments.push_back("Q");
  arguments.push_back("x/2");
  const auto result = test::RunProgram(arguments);
  EXPECT_EQ(result.exit_status, kExitLinkFailure) << result.out << result.err;
  const size_t lost = result.out.find("Report 'Z0043' lost: line ");
  ASSERT_NE(lost, std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("Report 'Z0043' lost", lost + 1), std::string::npos) << "one line for the loss";
  EXPECT_NE(result.out.find(" was not written: No space left on device; no B file is written and its Z request is "
                            "not sent\n", lost),
            std::string::npos)
      << result.out;
  EXPECT_TRUE(result.out.ends_with("Z0043_a.txt Z0043_b.txt\nearlier\r\nEARLIER")) << result.out;
  EXPECT_EQ(result.err.find("Calculated signature"), std::string::npos) << result.err;
  const auto sent = pty.Requests();
  EXPECT_EQ(std::ranges::count(sent, "Q"), 401);
  EXPECT_EQ(sent.back(), "Q") << "neither x/2 nor x/5 sent";
}

}  // namespace
}  // namespace veritor::cli
