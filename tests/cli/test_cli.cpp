#include "cli/cli_app.h"

#include <gtest/gtest.h>

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
// UTF-8; a character the page lacks is refused and the run goes on. Files
// that are not regular files are refused before anything is sent.
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

  run.device.requests.clear();
  EXPECT_EQ(run.Run({"--sign", ".", "--batch", "/dev/null", "--bmp", "."}), kExitLinkFailure);
  EXPECT_EQ(run.device.requests, std::vector<std::string>{"v"}) << "nothing but the device information";

  std::FILE* out = std::tmpfile();
  StreamLogSink sink(out, *CodePage::Find(1253));
  sink.AppendLogText("Device info: [\xCA\xC1\xCB\xC7]\nSigning '/tmp/Έγγραφα', 1 byte(s)");
  EXPECT_EQ(test::ReadAll(fileno(out)), "Device info: [ΚΑΛΗ]\nSigning '/tmp/Έγγραφα', 1 byte(s)\n");
  std::fclose(out);
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
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--batch", dir.file("bad.txt"), "--bmp",
                                        dir.file("none.bmp"), "--sign", dir.file("sign.txt"), "x/5", "v"},
                                       {"VERITOR_COM1=" + simulator.path(), "HOME=" + dir.path()});
  EXPECT_EQ(result.exit_status, kExitLinkFailure);
  EXPECT_NE(result.out.find("L00002> bogus\nError 0x06: BADREQ (The request code is unsupported) -- Provide a "
                            "correct request code\nFailed in line 2\nBatch aborted in line 2\n"
                            "Line 1 was carried out; line 2 was refused\nSigning '" +
                            dir.file("sign.txt") + "', 11 byte(s)\nDone. (1 blocks, 11 bytes, "),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.err.find("File error: Could not open image file"), std::string::npos) << result.err;
  EXPECT_TRUE(result.out.ends_with("request not sent\nClosed port COM1\n")) << result.out;
}

TEST(CliIntegration, EachNetworkLinkOverLoopback) {
  test::SimulatorProcess simulator({"--no-serial", "--sdnp", "127.0.0.21", "--tcp", "127.0.0.21", "--udp", "127.0.0.21"},
                                   3);
  ASSERT_TRUE(simulator.ready(3));
  for (const char* link : {"sdnp", "tcp", "udp"}) {
    const auto result = test::RunProgram(
        {test::BinaryPath("veritor-cli"), "--link", link, "--address", "127.0.0.21", "--details", "v", "{/0", "@/abc", "}"});
    EXPECT_EQ(result.exit_status, kExitOk) << link << "\n" << result.out << result.err;
    EXPECT_NE(result.out.find("init connection with 127.0.0.21\n"), std::string::npos) << link;
    EXPECT_NE(result.out.find("Device info: [VERITOR-SIM/2.24/SN 000001]"), std::string::npos) << link;
    EXPECT_NE(result.out.find("Replied frame [A9993E364706816ABA3E25717850C26C9CD0D89D/"), std::string::npos) << link;
    EXPECT_EQ(result.out.substr(result.out.size() - 24), "Closed network services\n") << link;
  }
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
}

}  // namespace
}  // namespace veritor::cli
