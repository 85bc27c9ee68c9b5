#include "cli/plan_cli.h"

#include <QFile>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

#include <map>

#include "sim/in_process.h"
#include "sim/in_process_net.h"
#include "tests/support/process.h"
#include "tests/support/pty_wire_device.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"
#include "tests/support/wire_tcp.h"

namespace veritor::cli {
namespace {

using Lines = std::vector<std::string>;

// What a JUnit report holds, read by a real XML parser.
struct JUnit {
  bool well_formed = false;
  int suites = 0;
  int cases = 0;
  Lines failures;  // "name: text" of each <failure> and <error>
  Lines errors;    // "name: type" of each <error>
  Lines skipped;   // names of the <skipped/> cases
  Lines suite_names;
  std::map<std::string, std::string> suite;       // the first testsuite's attributes
  std::map<std::string, std::string> properties;  // of every testsuite
  Lines system_out;
};

JUnit ReadJUnit(const std::string& path) {
  JUnit report;
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return report;
  QXmlStreamReader xml(&file);
  std::string testcase;
  const auto text = [](QStringView view) { return view.toString().toStdString(); };
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == u"testsuite") {
      if (++report.suites == 1)
        for (const auto& attribute : xml.attributes()) report.suite[text(attribute.name())] = text(attribute.value());
      report.suite_names.push_back(text(xml.attributes().value("name")));
    }
    if (xml.name() == u"property")
      report.properties[text(xml.attributes().value("name"))] = text(xml.attributes().value("value"));
    if (xml.name() == u"testcase") {
      ++report.cases;
      testcase = text(xml.attributes().value("name"));
    }
    if (xml.name() == u"skipped") report.skipped.push_back(testcase);
    if (xml.name() == u"system-out") report.system_out.push_back(xml.readElementText().toStdString());
    if (xml.name() == u"error") report.errors.push_back(testcase + ": " + text(xml.attributes().value("type")));
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
    const auto run = [&](const char* name) {
      std::vector<std::string> arguments = {test::BinaryPath("veritor-cli"), "--link", link, "--address", "127.0.0.51"};
      if (link[0] == 'C') arguments.resize(3);
      arguments.insert(arguments.end(), {"--plan", dir.file(name + std::string(".txt")), "--report", dir.file("r.xml")});
      const auto result = test::RunProgram(arguments, {"VERITOR_COM3=" + simulator.path()});
      return std::make_pair(result, ReadJUnit(dir.file("r.xml")));
    };
    auto [result, report] = run("pass");
    EXPECT_EQ(result.exit_status, kExitOk) << link << "\n" << result.out << result.err;
    EXPECT_NE(result.out.find("PASS  line 5, run 2: ~/9/6 ("), std::string::npos) << link << result.out;
    EXPECT_NE(result.out.find("Plan: 7 steps, 7 passed, 0 failed, "), std::string::npos) << link << result.out;
    EXPECT_TRUE(report.well_formed) << link;
    EXPECT_EQ(report.cases, 6) << link;  // the two runs of line 5 in one
    EXPECT_EQ(report.failures, Lines{}) << link;

    std::tie(result, report) = run("fail");
    EXPECT_EQ(result.exit_status, kExitDeviceError) << link << "\n" << result.out << result.err;
    EXPECT_NE(result.out.find("FAIL  line 2: v ("), std::string::npos) << link << result.out;
    EXPECT_NE(result.out.find("; stopped at the first failure"), std::string::npos) << link << result.out;
    EXPECT_TRUE(report.well_formed) << link;
    EXPECT_EQ(report.cases, 3) << link;
    EXPECT_EQ(report.skipped, Lines{"line 3: ?"}) << link;
    EXPECT_EQ(report.failures, (Lines{"line 2: v: expected: 00 data=\"VERITOR-SIM/9.99/SN 000001\"\n"
                                      "received: 00 data=\"VERITOR-SIM/2.24/SN 000001\""}))
        << link;
  }
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
};

TEST_F(InProcessPlanTest, APlanRunsOnTwoDevicesAndEndsWithATable) {
  const Ipv4Address first = 0x7F000002, second = 0x7F000003;
  net.AddUdpDevice(first);
  net.AddUdpDevice(second);
  net.ModelAt(second).SetZeroZAlert(true);  // "x/2" on a day without signatures answers 0x80
  test::WriteFile(dir.file("plan.txt"), "v\n?\nx/2 => 00 data~\"[0-9]{4}\"\n");
  Options options;
  options.plan = dir.file("plan.txt");
  options.report = dir.file("report.xml");
  options.link = kLinkUdp;
  options.addresses = {"127.0.0.2", "127.0.0.3", "127.0.0.9"};
  EXPECT_EQ(cli::Run(options, environment), kExitLinkFailure);  // nothing answers at 127.0.0.9
  EXPECT_TRUE(sink.Contains("FAIL  line 3: x/2 (4 ms)"));
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

// veritor-cli's run, in process, against one device written from the wire bytes, on the serial
// link or over TCP; both answer by `answer`, and `requests` keeps what either took.
struct WirePlanRun {
  VirtualTickClock clock;
  test::ClockPump pump{clock};
  test::WireSerialDevice serial;
  test::WireTcpDevice tcp;
  test::RecordingLog log;
  test::ScriptedPrompts prompts;
  test::TempDir dir;
  volatile std::sig_atomic_t stop = 0;
  std::FILE* status = std::tmpfile();  // the terminal's progress line
  TerminalControl control{clock, stop, status};
  std::function<std::string(const std::string&)> answer = [](const std::string&) { return "00/00/00/"; };
  Lines requests;

  ~WirePlanRun() { std::fclose(status); }
  std::string StatusLine() { return test::ReadAll(fileno(status)); }
  WirePlanRun() {
    clock.Advance(5000000);  // a clock that has run for a while, as a real one has
    serial.answer = tcp.answer = [this](const std::string& request) {
      requests.push_back(request);
      return request == "v" ? std::string("00/00/00/WIRE-DEVICE") : answer(request);
    };
  }
  int Run(std::vector<std::string> arguments, bool over_tcp = false) {
    if (over_tcp) arguments.insert(arguments.begin(), {"--link", "tcp", "--address", "127.0.0.2"});
    std::string error;
    const auto options = ParseArguments(arguments, error);
    EXPECT_TRUE(options) << error;
    if (!options) return kExitUsage;
    Environment environment{clock, pump, serial, tcp.network, log, prompts, dir.slash(),
                            *CodePage::Find(kDefaultCodePage), &control};
    return cli::Run(*options, environment);
  }
  std::string WritePlan(const std::string& text) {
    test::WriteFile(dir.file("p.plan"), text);
    return dir.file("p.plan");
  }
  size_t Count(const std::string& request) const { return std::count(requests.begin(), requests.end(), request); }
};

bool HasEntryStartingWith(const test::RecordingLog& log, const std::string& prefix) {
  return std::ranges::any_of(log.entries, [&](const std::string& entry) { return entry.starts_with(prefix); });
}

// A device with one Z report of three lines (or one that never ends) to give.
std::function<std::string(const std::string&)> ZReportDevice(bool endless) {
  auto next = std::make_shared<int>(0);
  return [next, endless](const std::string& request) -> std::string {
    if (request == "A") *next = 0;
    if (request == "A") return "00/00/00/001/Z0001";
    if (request == "Q" && (endless || *next < 3)) return "00/00/00/0/LINE " + std::to_string(++*next);
    if (request == "Q") return "00/00/00/3/";
    if (request == "x/2") return "00/00/00/0001";
    return "00/00/00/";
  };
}

// A Z report closes the fiscal day for good: x/2 goes out only when the plan says yes and the report
// read is the one it expects, on the serial link (which writes the A file) and over TCP alike.
TEST(PlanCliWire, AZReportIsClosedOnlyOnIntentAfterEveryCheck) {
  const std::string report = "LINE 1\r\nLINE 2\r\nLINE 3\r\n";
  const std::string sha1 = "07E718B655136B926037DB6C80E70618FAA8C026";  // of `report`, by sha1sum
  const struct {
    std::string plan;
    int status;
    size_t x2_sent;
    size_t q_sent;
    std::string received;  // the failed step's received line, when it fails
    bool serial_only = false;
    bool endless = false;
  } rows[] = {
      {".zreport answer=no\n", kExitOk, 0, 4, ""},
      // The lines and their fingerprint as the serial link writes them, over TCP alike: a reply's
      // closing CR LF is no part of its data.
      {".zreport answer=yes lines=3 sha1=" + sha1 + " afile=same.txt\n", kExitOk, 1, 4, ""},
      {".zreport answer=yes sha1=" + std::string(40, 'A') + "\n", kExitDeviceError, 0, 4,
       "lines=3 sha1=" + sha1 + "; answered No, x/2 not sent"},
      {".zreport answer=yes lines=4\n", kExitDeviceError, 0, 4, "lines=3 sha1=" + sha1 + "; answered No, x/2 not sent"},
      {".zreport answer=yes afile=other.txt\n", kExitDeviceError, 0, 4, "an A file unlike"},
      // A report that never ends: exactly max= Q requests, then no x/2.
      {".zreport answer=yes max=5\n", kExitDeviceError, 0, 5, "no end of the report after 5 lines", false, true},
      // No answer written: refused when the plan is read, before anything is sent.
      {".zreport lines=3\n", kExitLinkFailure, 0, 0, ""},
      // The operator's No to a raw x/2 is a refused signature, not a link failure.
      {"A\nQ\nQ\nQ\nQ\nx/2\n", kExitDeviceError, 0, 4, "the signature refused (answered No); x/2 not sent", true},
  };
  for (bool over_tcp : {false, true}) {
    for (const auto& row : rows) {
      if (over_tcp && row.serial_only) continue;
      WirePlanRun run;
      run.answer = ZReportDevice(row.endless);
      test::WriteFile(run.dir.file("same.txt"), report);
      test::WriteFile(run.dir.file("other.txt"), "LINE 1\r\n");
      const std::string where = (over_tcp ? "tcp: " : "serial: ") + row.plan;
      EXPECT_EQ(run.Run({"--answer", "no", "--plan", run.WritePlan(row.plan)}, over_tcp), row.status) << where;
      EXPECT_EQ(run.Count("x/2"), row.x2_sent) << where;
      EXPECT_EQ(run.Count("Q"), row.q_sent) << where;
      if (row.status == kExitLinkFailure) {
        EXPECT_EQ(run.requests, Lines{}) << where;
      }
      if (!row.received.empty() && !over_tcp) {
        EXPECT_TRUE(HasEntryStartingWith(run.log, "      received: " + row.received)) << where;
      }
    }
  }
}

// Ctrl-C or SIGTERM in the middle of a signing run: the step is an error that says it was stopped, the
// steps not reached are skipped, the report says the run was interrupted, and the .finally steps close
// the signature block left open.
TEST(PlanCliWire, AStoppedPlanReportsItselfInterruptedAndRunsItsFinallySteps) {
  WirePlanRun run;
  int blocks = 0;
  run.answer = [&](const std::string& request) -> std::string {
    if (request.starts_with("@/") && ++blocks == 3) run.stop = 1;
    return request == "}" ? "00/00/00/" + std::string(40, 'A') + "/0001" : "00/00/00/";
  };
  test::WriteFile(run.dir.file("big.txt"), std::string(20000, 'x'));
  const std::string plan = run.WritePlan("?\n.sign big.txt\n?\nbogus => 06\n.finally\n  }\n.end\n");
  EXPECT_EQ(run.Run({"--plan", plan, "--report", run.dir.file("r.xml")}), kExitInterrupted);
  EXPECT_EQ(run.requests.back(), "}");
  EXPECT_EQ(run.Count("@/" + std::string(1, 'x')), 0u);
  EXPECT_EQ(run.Count("bogus"), 0u);
  EXPECT_TRUE(HasEntryStartingWith(run.log, "STOP  line 2: .sign big.txt ("));
  EXPECT_TRUE(HasEntryStartingWith(run.log, "Plan: 2 steps, 1 passed, 1 failed")) << "a stopped step is never a pass";
  EXPECT_TRUE(std::ranges::any_of(run.log.entries, [](const std::string& entry) {
    return entry.find("; stopped by the operator; 2 steps not reached") != std::string::npos;
  }));
  const JUnit report = ReadJUnit(run.dir.file("r.xml"));
  ASSERT_TRUE(report.well_formed);
  EXPECT_EQ(report.errors, Lines{"line 2: .sign big.txt: stopped"});
  EXPECT_EQ(report.skipped, (Lines{"line 3: ?", "line 4: bogus"}));
  EXPECT_EQ(report.properties.count("interrupted"), 1u);
  EXPECT_EQ(report.properties.at("link"), "COM1");
  EXPECT_EQ(report.properties.at("device"), "WIRE-DEVICE");
  EXPECT_EQ(report.suite.at("timestamp").size(), 19u);
  EXPECT_FALSE(report.suite.at("hostname").empty());
  EXPECT_EQ(report.suite.at("errors"), "1");
  EXPECT_EQ(report.suite.at("skipped"), "2");
  ASSERT_EQ(report.suite_names.size(), 2u);
  EXPECT_EQ(report.suite_names[1], "p.plan @ COM1 (.finally)");
  ASSERT_EQ(report.system_out.size(), 1u);
  EXPECT_NE(report.system_out[0].find("Signing stopped after block 3 of "), std::string::npos) << report.system_out[0];
  // The progress line names what it counts, and times the signing from its own start.
  const std::string status = run.StatusLine();
  EXPECT_NE(status.find("\rplan: 1/"), std::string::npos) << status;
  EXPECT_NE(status.find("\rsign: 1/"), std::string::npos) << status;
  EXPECT_EQ(status.find(" left"), std::string::npos) << status;
}

// Whatever a plan names, reads or writes is checked before the device is touched: nothing is sent.
TEST(PlanCliWire, APlanWithAnyFaultIsRefusedBeforeTheDeviceIsTouched) {
  const struct {
    std::string plan;
    std::vector<std::string> options;  // besides --plan
  } rows[] = {
      {"v\n.sign missing.txt\n", {}},
      {"v\n.batch .\n", {}},
      {"v\n.zreport answer=yes afile=/nonexistent\n", {}},
      {"v\n", {"--report", "/nonexistent/r.xml"}},
      {"v\n", {"--record", "/nonexistent/x.plan"}},
      {"v\n", {"--record", "@PLAN"}},  // the plan itself
      {std::string("v\nv\0v\n", 6), {}},
      {"v\n\xC1\xE2\n", {}},
      {"# nothing but a comment\n", {}},
      {"v\n@/\u263A\n", {}},  // not in the device's code page
  };
  for (const auto& row : rows) {
    WirePlanRun run;
    std::vector<std::string> arguments = {"--plan", run.WritePlan(row.plan)};
    for (const std::string& option : row.options) arguments.push_back(option == "@PLAN" ? arguments[1] : option);
    EXPECT_EQ(run.Run(arguments), kExitLinkFailure) << row.plan;
    EXPECT_EQ(run.requests, Lines{}) << row.plan;
    EXPECT_EQ(test::ReadFile(arguments[1]), row.plan) << "the plan is left as it was";
  }
}

// Plan text is UTF-8; the device's requests and replies are in its code page. A pattern that would
// backtrack for ever on its reply just fails.
TEST(PlanCliWire, RequestsAndRepliesAreComparedInTheDevicesCodePage) {
  WirePlanRun run;
  run.answer = [](const std::string& request) -> std::string {
    if (request == "@/\xC1") return "00/00/00/\xC1\xC2\xC3";
    if (request == "@/\xC2") return "00/00/00/\xC1\x1B<\"";
    return "00/00/00/" + std::string(30, 'x');
  };
  EXPECT_EQ(run.Run({"--plan", run.WritePlan("@/Α => data=\"ΑΒΓ\"\n@/Α => data~\"[Α-Ω]{3}\"\n")}), kExitOk);
  EXPECT_EQ(run.requests, (Lines{"v", "@/\xC1", "@/\xC1"}));
  // A failed step shows the device's text as the log does, on stdout and in the report; a control byte escaped.
  EXPECT_EQ(run.Run({"--plan", run.WritePlan("@/Β => data=\"Α\"\n"), "--report", run.dir.file("r.xml")}),
            kExitDeviceError);
  EXPECT_TRUE(HasEntryStartingWith(run.log, "      received: 00 data=\"Α\\x1B<\\\"\""));
  const Lines failures = ReadJUnit(run.dir.file("r.xml")).failures;
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("expected: 00 data=\"Α\"\nreceived: 00 data=\"Α\\x1B<\\\"\""), std::string::npos) << failures[0];
  EXPECT_EQ(run.Run({"--plan", run.WritePlan("x => data~\"(x+x+)+y\"\n")}), kExitDeviceError);
  // A NUL in a pattern does not cut the report's lines.
  EXPECT_EQ(run.Run({"--plan", run.WritePlan("x => data~\"a\\x00b\"\n")}), kExitDeviceError);
  EXPECT_TRUE(HasEntryStartingWith(run.log, "      expected: 00 data~\"a\\x00b\""));
  EXPECT_TRUE(HasEntryStartingWith(run.log, "      received: 00 data=\"xxx"));
  // A recording sends what a plain run sends, and replays so.
  run.requests.clear();
  EXPECT_EQ(run.Run({"--record", run.dir.file("r.plan"), "@/Α"}), kExitOk);
  EXPECT_EQ(run.requests, (Lines{"v", "@/\xC1"}));
  run.requests.clear();
  EXPECT_EQ(run.Run({"--plan", run.dir.file("r.plan")}), kExitOk);
  EXPECT_EQ(run.requests, (Lines{"v", "@/\xC1"}));
}

// A recording replays from the folder it is written into, and keeps the device's status byte: a
// device that now reports a bad battery fails the replay.
TEST(PlanCliWire, ARecordingReplaysFromItsFolderAndKeepsTheDeviceStatus) {
  WirePlanRun run;
  std::filesystem::create_directory(run.dir.file("plans"));
  test::WriteFile(run.dir.file("plans/hello.txt"), "hello");
  std::string device_status = "00";
  run.answer = [&](const std::string& request) {
    return "00/" + device_status + "/00/" + (request == "}" ? std::string(40, 'A') + "/0001" : "");
  };
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(run.dir.path());
  EXPECT_EQ(run.Run({"--record", "plans/r.plan", "--sign", "plans/hello.txt", "?"}), kExitOk);
  const std::string recorded = test::ReadFile("plans/r.plan");
  EXPECT_NE(recorded.find("\n.sign hello.txt => 00 data~"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("\n? => 00 data=\"\" device=00000x0x\n"), std::string::npos) << recorded;
  EXPECT_EQ(run.Run({"--plan", "plans/r.plan"}), kExitOk);
  device_status = "80";
  EXPECT_EQ(run.Run({"--plan", "plans/r.plan"}), kExitDeviceError);
  std::filesystem::current_path(cwd);
}

// Detection that finds no device still writes the report, with the error.
TEST(PlanCliWire, EveryRunWithAReportWritesOne) {
  WirePlanRun run;
  EXPECT_EQ(run.Run({"--link", "sdnp", "--detect", "--plan", run.WritePlan("v\n"), "--report", run.dir.file("r.xml")}),
            kExitLinkFailure);
  const JUnit report = ReadJUnit(run.dir.file("r.xml"));
  EXPECT_TRUE(report.well_formed);
  EXPECT_EQ(report.errors, Lines{"connect: no reply"});
  // A report or a recording that does not reach the disk (a full one) fails the run.
  const std::string plan = run.WritePlan("v\n");
  EXPECT_EQ(run.Run({"--plan", plan, "--report", "/dev/full"}), kExitLinkFailure);
  EXPECT_EQ(run.Run({"--plan", plan, "--record", "/dev/full"}), kExitLinkFailure);
  EXPECT_EQ(run.Run({"--plan", plan, "--record", run.dir.file("good.plan")}), kExitOk);
}

// A device unplugged part way (its pty hung up) ends even a --keep-going run at once, as a link
// failure with a line that says so, instead of every step left waiting out its enquiries.
TEST(PlanCli, AVanishedPortEndsAKeepGoingRunAsALinkFailure) {
  test::TempDir dir;
  std::string plan;
  for (int i = 0; i < 20; ++i) plan += "?\n";
  test::WriteFile(dir.file("p.plan"), plan);
  test::PtyWireDevice device([](const std::string&) { return std::string("00/00/00/"); });
  ASSERT_FALSE(device.path().empty());
  device.HangUpAfter(3);
  const auto start = std::chrono::steady_clock::now();
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--plan", dir.file("p.plan"), "--keep-going"},
                                       {"VERITOR_COM1=" + device.path()});
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(result.exit_status, kExitLinkFailure) << result.out << result.err;
  EXPECT_LT(ms.count(), 2000) << result.out;
  EXPECT_NE(result.out.find("\nThe serial port has gone (its line hung up)"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("; the link failed; 17 steps not reached"), std::string::npos) << result.out;
}

// veritor-cli --check: plans checked without a device, for a CI's lint stage; PATH:LINE: why, for
// every fault of a plan's text as for the files it names.
TEST(PlanCli, CheckFindsEachFaultWithItsFileAndLine) {
  test::TempDir dir;
  const struct {
    std::string text;
    std::string error;  // after "veritor-cli: PATH:"; empty: good
  } rows[] = {
      {"\xEF\xBB\xBFv\n.sign \"Αρχείο.txt\"\n", ""},  // a path is not in the device's code page
      {"v\n.sign missing.txt\n", "2: cannot read '" + dir.file("missing.txt") + "': No such file or directory"},
      {"v\n.zreport\n", "2: .zreport needs answer=yes or answer=no"},
      {std::string("v\n\0\x01\x02", 5), "2: a NUL byte in column 1: a plan is text"},
      {"v\nv => \xFF\n", "2: not UTF-8 text (byte 6)"},
      {"", "1: a plan with no steps"},
      {"v => 00 data\n", "1: expected an error code, data=, data~, device=, function= or within=, not 'data'"},
      {".repeat \"\"\nv\n.end\n", "1: .repeat takes a count or a time such as 10m, not \"\""},
      {".finally\n}\n.end\nv\n", "4: the .finally block ends the plan: nothing may follow it"},
      {"v\nv => 0x", "2: expected an error code"},
      {"v => data~\"[unclosed\"", "1: not a regular expression: [unclosed"},
      {"v => data=\"open", "1: no value for data (or a quote is not closed)"},
      {".repeat 3\nv", "1: .repeat without .end"},
      {".end", "1: .end without .repeat"},
      {".repeat 2\n.end", "2: an empty .repeat block"},
      {".repeat 0\nv\n.end", "1: .repeat takes a count or a time"},
      {".repeat 5x\nv\n.end", "1: .repeat takes a count or a time"},
      {".delay soon", "1: .delay takes a time"},
      {".frobnicate", "1: unknown directive .frobnicate"},
      {".sign", "1: .sign takes a file name"},
      {".send v", "1: .send takes a quoted request"},
      {"? => device=012", "1: device= takes two hex digits"},
      {".zreport answer=maybe", "1: bad .zreport option answer=maybe"},
      {"v => 00 colour=red", "1: unknown expectation colour"},
      {"v\n.finally\n}", "2: .finally without .end"},
      {".repeat 2\n.finally", "2: .finally stands outside every .repeat block"},
      {"v\n.finally\n.end", "3: an empty .finally block"},
  };
  test::WriteFile(dir.file("Αρχείο.txt"), "abc");
  std::vector<std::string> arguments = {test::BinaryPath("veritor-cli"), "--check"};
  for (size_t i = 0; i < std::size(rows); ++i) {
    const std::string path = dir.file("p" + std::to_string(i) + ".plan");
    test::WriteFile(path, rows[i].text);
    arguments.push_back(path);
    const auto alone = test::RunProgram({arguments[0], "--check", path}, {});
    EXPECT_EQ(alone.exit_status, rows[i].error.empty() ? kExitOk : kExitBadPlan) << path << alone.err;
    EXPECT_EQ(alone.err.rfind(rows[i].error.empty() ? "" : "veritor-cli: " + path + ":" + rows[i].error, 0), 0u)
        << alone.err;
  }
  const auto all = test::RunProgram(arguments, {});
  EXPECT_EQ(all.exit_status, kExitBadPlan);
  EXPECT_NE(all.out.find("p0.plan: 2 steps, good"), std::string::npos) << all.out;
}

// Every option --help names, read from the program as it is now, is in the man page and the bash
// completion; the completion of a device path keeps what was typed.
TEST(PlanCli, EveryOptionOfHelpIsInTheManPageAndTheCompletion) {
  const auto help = test::RunProgram({test::BinaryPath("veritor-cli"), "--help"}, {});
  ASSERT_EQ(help.exit_status, kExitOk);
  const std::string source = VERITOR_SOURCE_DIR;
  const std::string man = test::ReadFile(source + "/docs/man/veritor-cli.1.in");
  const std::string completion = test::ReadFile(source + "/dist/veritor-cli.bash");
  Lines options;
  for (size_t at = help.out.find("\n  "); at != std::string::npos; at = help.out.find("\n  ", at + 1)) {
    const size_t dashes = help.out.find("--", at);
    if (dashes == std::string::npos || help.out.find('\n', at + 1) < dashes) continue;
    size_t end = dashes + 2;
    while (end < help.out.size() && (std::isalnum(static_cast<unsigned char>(help.out[end])) || help.out[end] == '-')) ++end;
    options.push_back(help.out.substr(dashes, end - dashes));
  }
  ASSERT_GE(options.size(), 20u) << help.out;
  for (const std::string& option : options) {
    std::string in_man;
    for (char c : option) in_man += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(man.find(in_man), std::string::npos) << option << " is not in the man page";
    bool whole_word = false;
    for (size_t at = completion.find(option); at != std::string::npos && !whole_word; at = completion.find(option, at + 1)) {
      const char after = at + option.size() < completion.size() ? completion[at + option.size()] : ' ';
      whole_word = !std::isalnum(static_cast<unsigned char>(after)) && after != '-';
    }
    EXPECT_TRUE(whole_word) << option << " is not in the completion";
  }
  EXPECT_NE(man.find("VERITOR_CODE_PAGE"), std::string::npos);

  test::TempDir dir;
  test::WriteFile(dir.file("ttyUSB7"), "");
  const auto completed = test::RunProgram(
      {"/bin/bash", "-c",
       "source \"$0\"; COMP_WORDS=(veritor-cli --link \"$1\"); COMP_CWORD=2; _veritor_cli; printf '%s\\n' \"${COMPREPLY[@]}\"",
       source + "/dist/veritor-cli.bash", dir.file("ttyU")},
      {});
  EXPECT_EQ(completed.out, dir.file("ttyUSB7") + "\n") << completed.err;
}

}  // namespace
}  // namespace veritor::cli
