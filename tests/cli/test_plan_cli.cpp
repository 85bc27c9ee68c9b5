#include "cli/plan_cli.h"

#include <QFile>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

#include "sim/in_process.h"
#include "sim/in_process_net.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor::cli {
namespace {

using Lines = std::vector<std::string>;

// What a JUnit report holds, read by a real XML parser.
struct JUnit {
  bool well_formed = false;
  int suites = 0;
  int cases = 0;
  Lines failures;  // "name: text" of each <failure> and <error>
};

JUnit ReadJUnit(const std::string& path) {
  JUnit report;
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return report;
  QXmlStreamReader xml(&file);
  std::string testcase;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == u"testsuite") ++report.suites;
    if (xml.name() == u"testcase") {
      ++report.cases;
      testcase = xml.attributes().value("name").toString().toStdString();
    }
    if (xml.name() == u"failure" || xml.name() == u"error")
      report.failures.push_back(testcase + ": " + xml.readElementText().toStdString());
  }
  report.well_formed = !xml.hasError();
  return report;
}

const char kPassingPlan[] =
    "# every reply as the simulated device gives it\n"
    "v => 00 data~\"VERITOR-SIM/2\\.24/SN [0-9]{6}\"\n"
    "bogus => 06\n"
    ".repeat 2\n"
    "  ~/9/6 => data~\"9/.{6}\"\n"
    ".end\n"
    "{/0\n@/abc\n} => data~\"A9993E364706816ABA3E25717850C26C9CD0D89D/[0-9]{4}\"\n";
const char kFailingPlan[] =
    "v\n"
    "v => data=\"VERITOR-SIM/9.99/SN 000001\"\n"
    "?\n";

// One simulator serves every link; each runs a passing plan (a signing among its steps) and a
// failing one, with a report.
TEST(PlanCli, APlanPassesAndFailsOnEveryLinkWithAJUnitReport) {
  test::TempDir dir;
  test::WriteFile(dir.file("pass.txt"), kPassingPlan);
  test::WriteFile(dir.file("fail.txt"), kFailingPlan);
  test::SimulatorProcess simulator({"--sdnp", "127.0.0.51", "--tcp", "127.0.0.51", "--udp", "127.0.0.51"}, 4);
  ASSERT_TRUE(simulator.ready(4));
  for (const char* link : {"COM3", "sdnp", "tcp", "udp"}) {
    std::vector<std::string> base = {test::BinaryPath("veritor-cli"), "--link", link, "--address", "127.0.0.51"};
    if (link[0] == 'C') base.resize(3);
    const std::vector<std::string> env = {"VERITOR_COM3=" + simulator.path()};

    auto arguments = base;
    arguments.insert(arguments.end(), {"--plan", dir.file("pass.txt"), "--report", dir.file("pass.xml")});
    auto result = test::RunProgram(arguments, env);
    EXPECT_EQ(result.exit_status, kExitOk) << link << "\n" << result.out << result.err;
    EXPECT_NE(result.out.find("PASS  line 5, run 2: ~/9/6 ("), std::string::npos) << link << result.out;
    EXPECT_NE(result.out.find("Plan: 7 steps, 7 passed, 0 failed, "), std::string::npos) << link << result.out;
    JUnit report = ReadJUnit(dir.file("pass.xml"));
    EXPECT_TRUE(report.well_formed) << link;
    EXPECT_EQ(report.cases, 7) << link;
    EXPECT_EQ(report.failures, Lines{}) << link;

    arguments = base;
    arguments.insert(arguments.end(), {"--plan", dir.file("fail.txt"), "--report", dir.file("fail.xml")});
    result = test::RunProgram(arguments, env);
    EXPECT_EQ(result.exit_status, kExitDeviceError) << link << "\n" << result.out << result.err;
    EXPECT_NE(result.out.find("FAIL  line 2: v ("), std::string::npos) << link << result.out;
    EXPECT_NE(result.out.find("; stopped at the first failure"), std::string::npos) << link << result.out;
    report = ReadJUnit(dir.file("fail.xml"));
    EXPECT_TRUE(report.well_formed) << link;
    EXPECT_EQ(report.cases, 2) << link;  // "?" never ran
    EXPECT_EQ(report.failures, (Lines{"line 2: v: expected: 00 data=\"VERITOR-SIM/9.99/SN 000001\"\n"
                                      "received: 00 data=\"VERITOR-SIM/2.24/SN 000001\""}))
        << link;
  }
}

// Recorded over the serial link from requests, a batch file and a plan with a Z report, then replayed.
TEST(PlanCli, APlanRecordedFromTheSimulatorReplaysOnIt) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("out"));
  test::WriteFile(dir.file("batch.txt"), "?\r\n{/0\r\n");
  test::WriteFile(dir.file("data.txt"), "abc");
  test::WriteFile(dir.file("plan.txt"), ".repeat 2\n  v\n  .sign data.txt\n.end\n.zreport answer=yes\nbogus => 06\n");
  test::SimulatorProcess simulator({"--report-lines", "12"});
  ASSERT_FALSE(simulator.path().empty());
  const std::vector<std::string> env = {"VERITOR_COM1=" + simulator.path(), "HOME=" + dir.path()};
  const std::string cli = test::BinaryPath("veritor-cli");

  auto result = test::RunProgram({cli, "--record", dir.file("a.txt"), "v", "--batch", dir.file("batch.txt"), "@/xyz", "}"}, env);
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;
  EXPECT_EQ(test::ReadFile(dir.file("a.txt")),
            "# Recorded by veritor-cli from COM1.\n"
            "# Expectations are what that device answered; edit them freely.\n"
            "v => 00 data~\"VERITOR-SIM/2\\.24/SN [0-9]{6}\"\n"
            "? => 00 data=\"\"\n"
            "{/0 => 00 data=\"\"\n"
            "@/xyz => 00 data=\"\"\n"
            "} => 00 data~\"[0-9A-F]{40}/[0-9]{4}\"\n");
  result = test::RunProgram({cli, "--plan", dir.file("a.txt")}, env);
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;

  result = test::RunProgram({cli, "--record", dir.file("b.txt"), "--plan", dir.file("plan.txt")}, env);
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;
  const std::string recorded = test::ReadFile(dir.file("b.txt"));
  EXPECT_NE(recorded.find("  .sign data.txt => 00 data~\"[0-9A-F]{40}/[0-9]{4}\"\n"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find(".zreport answer=yes lines=12 => 00 data~\"[0-9]{4}\"\n"), std::string::npos) << recorded;
  result = test::RunProgram({cli, "--plan", dir.file("b.txt"), "--keep-going"}, env);
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;
  EXPECT_NE(result.out.find("Plan: 6 steps, 6 passed, 0 failed"), std::string::npos) << result.out;
}

// The example plan of the README, as it stands there, passes against the simulator over a pty.
TEST(PlanCli, TheReadmeExampleRunsAgainstTheSimulator) {
  const std::string readme = test::ReadFile(std::string(VERITOR_SOURCE_DIR) + "/README.md");
  const size_t start = readme.find("```plan\n");
  ASSERT_NE(start, std::string::npos);
  const size_t end = readme.find("```", start + 8);
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("out"));
  test::WriteFile(dir.file("example.plan"), readme.substr(start + 8, end - start - 8));
  test::SimulatorProcess simulator;
  ASSERT_FALSE(simulator.path().empty());
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--plan", dir.file("example.plan")},
                                       {"VERITOR_COM1=" + simulator.path(), "HOME=" + dir.path()});
  EXPECT_EQ(result.exit_status, kExitOk) << result.out << result.err;
  EXPECT_NE(result.out.find("Plan: 13 steps, 13 passed, 0 failed"), std::string::npos) << result.out;
}

// The console's links against in-process devices on a virtual clock, through the same front end.
class InProcessPlanTest : public ::testing::Test, public MessagePump {
 protected:
  VirtualTickClock clock;
  sim::InProcessSerial serial{clock};
  sim::InProcessNetwork net{clock};
  test::RecordingLog sink;
  test::ScriptedPrompts prompts;
  test::TempDir dir;
  Environment environment{clock, *this, serial.opener(), net.network(), sink, prompts, dir.slash()};

  void PumpOneMessage() override {
    serial.pump().PumpOneMessage();
    net.pump().PumpOneMessage();
  }
  Options PlanOptions(const std::string& plan_text) {
    test::WriteFile(dir.file("plan.txt"), plan_text);
    Options options;
    options.plan = dir.file("plan.txt");
    options.report = dir.file("report.xml");
    return options;
  }
  Lines EntriesStartingWith(const std::string& prefix) const {
    Lines lines;
    for (const std::string& entry : sink.entries)
      if (entry.starts_with(prefix)) lines.push_back(entry);
    return lines;
  }
};

TEST_F(InProcessPlanTest, APlanRunsOnTwoDevicesAndEndsWithATable) {
  const Ipv4Address first = 0x7F000002, second = 0x7F000003;
  net.AddUdpDevice(first);
  net.AddUdpDevice(second);
  net.ModelAt(second).SetZeroZAlert(true);  // "x/2" on a day without signatures answers 0x80
  Options options = PlanOptions("v\n?\nx/2 => 00 data~\"[0-9]{4}\"\n");
  options.link = kLinkUdp;
  options.addresses = {"127.0.0.2", "127.0.0.3", "127.0.0.9"};
  EXPECT_EQ(cli::Run(options, environment), kExitLinkFailure);  // nothing answers at 127.0.0.9
  EXPECT_EQ(EntriesStartingWith("FAIL"), Lines{"FAIL  line 3: x/2 (4 ms)"});
  const Lines table = {
      "device            steps    passed    failed        time  result",
      "udp 127.0.0.2         3         3         0     0.012 s  pass",
      "udp 127.0.0.3         3         2         1     0.012 s  FAIL",
      "udp 127.0.0.9         -         -         -           -  NO LINK",
  };
  ASSERT_GE(sink.entries.size(), 4u);
  EXPECT_EQ(Lines(sink.entries.end() - 4, sink.entries.end()), table);
  const JUnit report = ReadJUnit(dir.file("report.xml"));
  EXPECT_TRUE(report.well_formed);
  EXPECT_EQ(report.suites, 3);
  EXPECT_EQ(report.cases, 7);
  ASSERT_EQ(report.failures.size(), 2u);
  EXPECT_EQ(report.failures[0], "line 3: x/2: expected: 00 data~\"[0-9]{4}\"\nreceived: 80 (ZERO_Z_ALERT) data=\"\"");
}

// A Z report over the serial link: A, the Q lines, x/2 with the plan's answer; the A file is what is checked.
TEST_F(InProcessPlanTest, AZReportStepChecksTheAFileAndGivesThePlansAnswer) {
  serial.model().GenerateReportLines(5);
  const std::string sha1 = sim::ReportFingerprint(serial.model().CurrentReport());
  Options options = PlanOptions(".zreport answer=yes lines=5 sha1=" + sha1 + "\n");
  EXPECT_EQ(cli::Run(options, environment), kExitOk);
  EXPECT_EQ(serial.model().ZCount(), 1u);
  EXPECT_EQ(test::ReadFile(dir.file("Z0001_b.txt")), sha1);
  EXPECT_EQ(prompts.questions, 0);  // the plan answered, not the operator
  EXPECT_EQ(EntriesStartingWith("Calculated signature: " + sha1), Lines{"Calculated signature: " + sha1 + "; answered Yes (plan)"});

  test::WriteFile(dir.file("expected_a.txt"), "LINE 000001\r\n");
  options = PlanOptions(".zreport lines=6\n.zreport afile=expected_a.txt\n.zreport answer=no\n");
  options.keep_going = true;
  EXPECT_EQ(cli::Run(options, environment), kExitDeviceError);
  const Lines failures = EntriesStartingWith("      received");
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0], "      received: lines=5 sha1=" + sha1);
  EXPECT_EQ(failures[1].rfind("      received: an A file unlike \"" + dir.file("expected_a.txt"), 0), 0u) << failures[1];
  EXPECT_EQ(serial.model().ZCount(), 3u);  // the rejected report stays open
}

TEST(PlanCliOptions, PlanOptionsAndTheirRefusals) {
  std::string error;
  auto options = ParseArguments({"--link", "tcp", "--address", "127.0.0.2", "--address", "127.0.0.3", "--plan",
                                 "p.txt", "--report", "r.xml", "--keep-going"},
                                error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->addresses, (Lines{"127.0.0.2", "127.0.0.3"}));
  EXPECT_TRUE(options->keep_going);
  EXPECT_EQ(options->report, "r.xml");
  EXPECT_FALSE(ParseArguments({"--plan", "p.txt", "v"}, error));
  EXPECT_FALSE(ParseArguments({"--record"}, error));
  EXPECT_EQ(error, "missing value for --record");
}

}  // namespace
}  // namespace veritor::cli
