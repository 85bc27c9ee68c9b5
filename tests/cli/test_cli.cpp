#include "cli/cli_app.h"

#include <gtest/gtest.h>

#include "sim/in_process.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor::cli {
namespace {

TEST(CliArguments, ReadTheConsolesSettings) {
  std::string error;
  const auto options = ParseArguments({"--link", "com3", "--speed", "126000", "--details", "--answer", "no", "v", "x/2"},
                                      error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->link, 3);
  EXPECT_EQ(options->speed, 126000u);
  EXPECT_TRUE(options->details);
  EXPECT_EQ(options->answer, false);
  EXPECT_EQ(options->actions,
            (std::vector<Action>{{Action::Kind::kRequest, "v"}, {Action::Kind::kRequest, "x/2"}}));

  const auto defaults = ParseArguments({"--", "--literal"}, error);
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->link, 1);
  EXPECT_EQ(defaults->speed, 115200u);
  EXPECT_FALSE(defaults->details);
  EXPECT_EQ(defaults->actions, (std::vector<Action>{{Action::Kind::kRequest, "--literal"}}));

  const auto files = ParseArguments({"--sign", "a", "?", "--bmp", "b", "--batch", "c"}, error);
  ASSERT_TRUE(files) << error;
  EXPECT_EQ(files->actions, (std::vector<Action>{{Action::Kind::kSign, "a"}, {Action::Kind::kRequest, "?"},
                                                 {Action::Kind::kBitmap, "b"}, {Action::Kind::kBatch, "c"}}));
}

TEST(CliArguments, RefuseWhatTheyCannotUse) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--details"},
      {"--link", "COM0", "v"},
      {"--link", "COM13", "v"},
      {"--link", "ttyS0", "v"},
      {"--speed", "fast", "v"},
      {"--speed", "0", "v"},
      {"--speed", "99999999999", "v"},
      {"--answer", "maybe", "v"},
      {"--bogus", "v"},
      {"v", "--link"},
      {"--batch"},
  };
  for (const auto& arguments : bad) {
    std::string error;
    EXPECT_FALSE(ParseArguments(arguments, error)) << (arguments.empty() ? "" : arguments[0]);
    EXPECT_FALSE(error.empty());
  }
}

// No network on this machine: every socket fails to open.
class NoNetwork final : public Network {
 public:
  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>&) override { return 10050; }
  int OpenStreamSocket(std::unique_ptr<StreamSocket>&) override { return 10050; }
};

class CliRunTest : public ::testing::Test {
 protected:
  NoNetwork network;
  VirtualTickClock clock;
  sim::InProcessSerial device{clock};
  test::RecordingLog log;
  test::ScriptedPrompts prompts;
  test::TempDir out;
  Environment environment{clock, device.pump(), device.opener(), network, log, prompts, out.slash()};

  int Run(std::vector<std::string> arguments) {
    std::string error;
    const auto options = ParseArguments(arguments, error);
    EXPECT_TRUE(options) << error;
    return options ? cli::Run(*options, environment) : kExitUsage;
  }
};

TEST_F(CliRunTest, ConnectsSendsAndDisconnectsAsTheConsoleDoes) {
  EXPECT_EQ(Run({"--speed", "9600", "?"}), kExitOk);
  EXPECT_EQ(log.entries, (std::vector<std::string>{"Opened port COM1, 9600, Parity NONE, Data 8, Stop 1",
                                                  "Reading device info",
                                                  "Device info: [VERITOR-SIM/2.24/SN 000001]",
                                                  "Closed port COM1"}));
}

TEST_F(CliRunTest, ExitStatusSaysHowTheRequestsWent) {
  EXPECT_EQ(Run({"bogus", "?"}), kExitDeviceError);
  EXPECT_EQ(device.model().RequestLog().back(), "?") << "a device error does not stop the run";

  EXPECT_EQ(Run({"--link", "COM5", "v"}), kExitLinkFailure);
  EXPECT_EQ(prompts.boxes.back().text, "Cannot open port COM5...");
  EXPECT_EQ(log.entries.back(), "Failed opening COM5 port...");

  device.device().faults.enq.assign(3, sim::AnswerFault::kSilence);
  EXPECT_EQ(Run({"v"}), kExitLinkFailure);
  EXPECT_EQ(log.entries.back(), "Fatal device comm error");

  // The connect's "v" goes through; the next request's packet never does,
  // and the run stops there.
  device.device().faults.packet = {sim::AnswerFault::kAck};
  device.device().faults.packet.insert(device.device().faults.packet.end(), 5, sim::AnswerFault::kNak);
  const size_t requests_before = device.model().RequestLog().size();
  EXPECT_EQ(Run({"?", "v"}), kExitLinkFailure);
  EXPECT_EQ(device.model().RequestLog().size(), requests_before + 1);
  EXPECT_EQ(log.entries.back(), "Closed port COM1");
}

TEST_F(CliRunTest, FileActionsRunInTheirPlaceAndSetTheExitStatus) {
  test::WriteFile(out.file("batch.txt"), "?\r\nv\r\n");
  test::WriteFile(out.file("bad.txt"), "?\r\nbogus\r\n");
  test::WriteFile(out.file("sign.txt"), "signed text");
  EXPECT_EQ(Run({"--batch", out.file("batch.txt"), "?", "--sign", out.file("sign.txt")}), kExitOk);
  const std::vector<std::string> sent(device.model().RequestLog().end() - 6, device.model().RequestLog().end());
  EXPECT_EQ(sent, (std::vector<std::string>{"?", "v", "?", "{/0", "@/signed text", "}"}));

  EXPECT_EQ(Run({"--batch", out.file("bad.txt"), "?"}), kExitDeviceError);
  EXPECT_EQ(device.model().RequestLog().back(), "?") << "the run goes on after the batch";
  EXPECT_EQ(Run({"--bmp", out.file("missing.bmp"), "--batch", out.file("bad.txt")}), kExitLinkFailure);
  EXPECT_EQ(prompts.boxes.front().caption, "File error: Could not open image file");
  EXPECT_EQ(device.model().RequestLog().back(), "bogus") << "a refused file does not stop the run";
}

TEST(CliIntegration, RunsAgainstTheSimulatedDeviceOverAPty) {
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  const std::string port = "VERITOR_COM2=" + simulator.path();
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "COM2", "--details", "v", "bogus"},
                                       {port});
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
}

TEST(CliIntegration, ReadsAZReportIntoTheOutputFolder) {
  test::TempDir home;
  std::filesystem::create_directory(home.file("out"));
  test::SimulatorProcess simulator({"--report-lines", "25"});
  ASSERT_FALSE(simulator.path().empty());
  std::vector<std::string> arguments = {test::BinaryPath("veritor-cli"), "--answer", "yes", "A"};
  for (int i = 0; i < 30; ++i) arguments.push_back("Q");
  arguments.push_back("x/2");
  const auto result = test::RunProgram(arguments, {"VERITOR_COM1=" + simulator.path(), "HOME=" + home.path()});
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;
  const std::string a_file = test::ReadFile(home.file("out/Z0001_a.txt"));
  EXPECT_GT(a_file.size(), 25u * 3u);
  EXPECT_EQ(test::ReadFile(home.file("out/Z0001_b.txt")).size(), 40u);
  EXPECT_NE(result.err.find("Calculated signature: "), std::string::npos);
  EXPECT_NE(result.err.find("Answered Yes (--answer)"), std::string::npos);
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

TEST(CliIntegration, ASilentDeviceEndsWithStatusTwo) {
  test::SimulatorProcess simulator({"--fault", "enq-silence:3"});
  ASSERT_FALSE(simulator.path().empty());
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "v"}, {"VERITOR_COM1=" + simulator.path()});
  EXPECT_EQ(result.exit_status, kExitLinkFailure);
  EXPECT_NE(result.out.find("Enquire state failed\nFatal device comm error\n"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace veritor::cli
