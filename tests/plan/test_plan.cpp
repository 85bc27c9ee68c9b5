#include "plan/plan.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "plan/junit_report.h"
#include "plan/plan_record.h"
#include "plan/plan_runner.h"
#include "sim/device_model.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

Plan Parse(const std::string& text, const std::string& base = "") {
  std::string error;
  auto plan = ParsePlan(text, base, error);
  EXPECT_TRUE(plan.has_value()) << error;
  return plan ? std::move(*plan) : Plan{};
}

const PlanStep& FirstStep(const Plan& plan) { return plan.nodes.at(0).step; }

TEST(PlanParse, EachFormOfAStepLine) {
  const struct {
    const char* line;
    PlanStep::Kind kind;
    const char* text;
    const char* expectation;  // as written back
  } cases[] = {
      {"v", PlanStep::Kind::kRequest, "v", "00"},
      {"   @/a b  c  ", PlanStep::Kind::kRequest, "@/a b  c  ", "00"},
      {"bogus => 06", PlanStep::Kind::kRequest, "bogus", "06"},
      {"? => 00 # a comment", PlanStep::Kind::kRequest, "?", "00"},
      {"x/2\t=>\tany", PlanStep::Kind::kRequest, "x/2", "any"},
      {"@/a=>b => 00", PlanStep::Kind::kRequest, "@/a=>b", "00"},
      {"v => data~\"VERITOR-SIM/2\\.24/SN [0-9]{6}\"", PlanStep::Kind::kRequest, "v",
       "00 data~\"VERITOR-SIM/2\\.24/SN [0-9]{6}\""},
      {"? => 00 data=\"a\\\"b\\\\c\\x01\" device=0000000x function=04 within=2s", PlanStep::Kind::kRequest, "?",
       "00 data=\"a\\\"b\\\\c\\x01\" device=0000000x function=00000100 within=2s"},
      {".send \".dot => x\" => 06", PlanStep::Kind::kRequest, ".dot => x", "06"},
      {".sign \"my file.txt\" => 00 data~\"[0-9A-F]{40}/.*\"", PlanStep::Kind::kSign, "/base/my file.txt",
       "00 data~\"[0-9A-F]{40}/.*\""},
      {".bmp /abs/logo.bmp", PlanStep::Kind::kBitmap, "/abs/logo.bmp", "00"},
      {".batch lines.txt => 06", PlanStep::Kind::kBatch, "/base/lines.txt", "06"},
      {".zreport answer=no lines=3", PlanStep::Kind::kZReport, "", "00"},
      {".delay 250ms # settle", PlanStep::Kind::kDelay, "", "00"},
      // A batch file is a plan: its CR LF line ends and control bytes go, a TAB is a space.
      {"@/tab\tbed\r", PlanStep::Kind::kRequest, "@/tab bed", "00"},
      {"~/1/\x01" "5\r", PlanStep::Kind::kRequest, "~/1/5", "00"},
  };
  for (const auto& c : cases) {
    const Plan plan = Parse(c.line, "/base/");
    ASSERT_EQ(plan.step_count, 1u) << c.line;
    const PlanStep& step = FirstStep(plan);
    EXPECT_EQ(step.kind, c.kind) << c.line;
    EXPECT_EQ(step.text, c.text) << c.line;
    EXPECT_EQ(FormatExpectation(step.expect), c.expectation) << c.line;
    // What is written back reads back the same.
    const Plan again = Parse(FormatPlanStep(step, step.expect), "/base/");
    EXPECT_EQ(FormatPlanStep(FirstStep(again), FirstStep(again).expect), FormatPlanStep(step, step.expect)) << c.line;
  }
}

TEST(PlanParse, RepeatBlocksCountTheirExecutions) {
  EXPECT_EQ(PlannedExecutions(Parse("v\n.repeat 3\n  ?\n  .repeat 2\n    v\n  .end\n  .delay 1s\n.end")), 1u + 3u * 3u);
  EXPECT_EQ(PlannedExecutions(Parse(".repeat 10m\nv\n.end")), 0u);
}

TEST(PlanRecord, ThePartsThatChangeBecomePatterns) {
  const struct {
    std::string data;
    const char* pattern;
  } cases[] = {
      {"VERITOR-SIM/2.24/SN 000001", "VERITOR-SIM/2\\.24/SN [0-9]{6}"},
      {"A9993E364706816ABA3E25717850C26C9CD0D89D/0001", "[0-9A-F]{40}/[0-9]{4}"},
      {"001/Z0042", "001/Z[0-9]{4}"},
      {"2026-12-07 14:05:59", "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"},
      {"07.12.26 at 14:05", "07\\.12\\.26 at [0-9]{2}:[0-9]{2}"},
      {"3/", "3/"},
      {"a+b (c)?", "a\\+b \\(c\\)\\?"},
      {std::string("\x01\xff", 2), "\\x01\\xFF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GeneralisedPattern(c.data), c.pattern) << c.data;
    EXPECT_TRUE(CompilePattern(GeneralisedPattern(c.data))->Matches(c.data)) << c.data;
  }
}

// The simulated device behind a link; `change` may answer a request (counted from 1) in its place.
struct ModelLink final : LinkTransaction {
  explicit ModelLink(VirtualTickClock& clock) : clock(clock) {}
  int Transact(const std::string& request, std::string& reply, bool) override {
    ++requests;
    clock.Advance(ms_per_exchange);
    if (silent_from && requests >= silent_from) return kResultReceiveStxTimeout;
    const auto changed = change.find(requests);
    reply = changed != change.end() ? changed->second : model.Handle(request);
    return kResultOk;
  }
  VirtualTickClock& clock;
  sim::DeviceModel model;
  std::map<unsigned, std::string> change;
  unsigned requests = 0;
  unsigned silent_from = 0;
  uint32_t ms_per_exchange = 5;
  void Reset() {
    model = sim::DeviceModel();
    change.clear();
    requests = 0;
    silent_from = 0;
  }
};

class PlanRunTest : public ::testing::Test, protected test::VirtualHost {
 protected:
  ModelLink link{clock};
  CommandExecutor executor{host, link};
  PlanLogReporter reporter{log};

  PlanRunResult Run(const Plan& plan, PlanRunOptions options = {}, PlanReporter* other = nullptr) {
    return RunPlan(host, executor, plan, options, other ? *other : reporter);
  }
};

// A .batch step whose file holds a line over 1500 bytes sent cut does not pass, whatever the device answered.
TEST_F(PlanRunTest, ABatchStepWithALineSentCutFails) {
  test::TempDir dir;
  for (const size_t length : {1500u, 1501u}) {
    test::WriteFile(dir.file("cut.txt"), "{/0\n@/" + std::string(length - 2, 'c') + "\n}\n");
    const PlanRunResult result = Run(Parse(".batch cut.txt", dir.slash()));
    EXPECT_EQ(result.passed, length == 1500u ? 1u : 0u) << length;
  }
}

TEST_F(PlanRunTest, ATimeLimitFailsASlowReplyAndASilentDeviceIsALinkFailure) {
  link.ms_per_exchange = 11;
  PlanRunResult result = Run(Parse("? => within=10ms\nv"), {.keep_going = true});
  EXPECT_EQ(result.records[0].received, "00 after 11 ms");
  link.silent_from = link.requests + 2;
  result = Run(Parse("v\nv\nv"), {.keep_going = false});
  EXPECT_EQ(result.no_reply, 1u);
  EXPECT_EQ(result.records.back().received, "no reply (result 1003)");
  EXPECT_EQ(result.Outcome(), ActionOutcome::kLinkFailure);
}

TEST_F(PlanRunTest, RepeatBlocksRunByCountAndByTimeWithDelays) {
  const Plan counted = Parse(".repeat 3\n  ~/1/4\n  .repeat 2\n    v\n  .end\n.end");
  PlanRunResult result = Run(counted);
  EXPECT_EQ(FormatPlanSummary(result), "Plan: 9 steps, 9 passed, 0 failed, 0.045 s");
  EXPECT_TRUE(sink.Contains("PASS  line 4, run 6: v (5 ms)"));
  // A repeated line's runs are summed, not kept one by one.
  EXPECT_EQ(result.records.size(), 0u);
  ASSERT_EQ(result.repeated.size(), 2u);
  EXPECT_EQ(RepeatedStepName(result.repeated[1]), "line 4: v (6 runs)");
  EXPECT_EQ(result.repeated[1].passed, 6u);

  // Each turn: a 5 ms exchange and a 20 ms delay, for 100 ms of the clock.
  const uint32_t start = clock.GetTickCount();
  result = Run(Parse(".repeat 100ms\n  v\n  .delay 20ms\n.end"));
  EXPECT_EQ(result.passed, 4u);
  EXPECT_GE(clock.GetTickCount() - start, 100u);
}

// A soak's runs take no more memory as they go: a repeated line keeps its first failures whole and
// counts the rest, and the JUnit report shows them so.
TEST_F(PlanRunTest, ARepeatedLineKeepsItsFirstFailuresAndCountsTheRest) {
  for (unsigned run = 3; run <= 12; ++run) link.change[run] = "06/00/00";
  const Plan plan = Parse(".repeat 20\n  v\n.end\n");
  const PlanRunResult result = Run(plan, {.keep_going = true});
  EXPECT_EQ(result.failed, 10u);
  ASSERT_EQ(result.repeated.size(), 1u);
  EXPECT_EQ(result.repeated[0].first_failures.size(), RepeatedStep::kKeptFailures);
  EXPECT_EQ(result.repeated[0].first_failures[0].run, 3u);
  DeviceRun run;
  run.device = "COM1";
  run.result = result;
  const std::string xml = JUnitReport("soak", {run});
  EXPECT_NE(xml.find("name=\"line 2: v (20 runs)\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("message=\"10 of 20 runs failed\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("run 7: expected: 00"), std::string::npos) << xml;
  EXPECT_NE(xml.find("and 5 more failed runs"), std::string::npos) << xml;
  EXPECT_NE(xml.find("tests=\"1\" failures=\"1\""), std::string::npos) << xml;
}

// Record on a good device, replay on the same: passes; on one with a single changed reply: fails at that step.
TEST_F(PlanRunTest, ARecordedPlanReplaysAndFindsTheOneChangedReply) {
  const Plan source = Parse("v\n.repeat 2\n  {/0\n  @/abc\n  }\n.end\nbogus\nx/2\n");
  PlanRecorder recorder(source);
  Run(source, {.keep_going = true, .record = true}, &recorder);
  const std::string recorded = recorder.Write(source, {"recorded"});
  EXPECT_EQ(recorded,
            "# recorded\n"
            "v => 00 data~\"VERITOR-SIM/2\\.24/SN [0-9]{6}\" device=00000x0x\n"
            ".repeat 2\n"
            "  {/0 => 00 data=\"\" device=00000x0x\n"
            "  @/abc => 00 data=\"\" device=00000x0x\n"
            "  } => 00 data~\"[0-9A-F]{40}/[0-9]{4}\" device=00000x0x\n"
            ".end\n"
            "bogus => 06 data=\"\" device=00000x0x\n"
            "x/2 => 00 data~\"[0-9]{4}\" device=00000x0x\n");

  link.Reset();
  EXPECT_TRUE(Run(Parse(recorded)).AllPassed());

  link.Reset();
  link.change[6] = "12/00/06";  // the second "@/abc"
  const Plan replay = Parse(recorded);
  const PlanRunResult result = Run(replay);
  ASSERT_EQ(result.failed, 1u);
  ASSERT_EQ(result.repeated.at(1).first_failures.size(), 1u);
  EXPECT_EQ(StepName(result.repeated[1].first_failures[0]), "line 5, run 2: @/abc");
  EXPECT_EQ(result.repeated[1].first_failures[0].received.substr(0, 3), "12 ");
}

// Patterns match the whole data, in time linear in it: none hangs or exhausts the stack on a reply
// of the longest a device sends (2,047 bytes), whatever its nesting.
TEST(DataPattern, MatchesWholeDataAndNeverHangsOrCrashes) {
  const std::string xs(30, 'x'), as(2030, 'a'), long_data(2047, 'a');
  const struct {
    std::string pattern;
    std::string data;
    bool matches;
  } rows[] = {
      {"VERITOR-SIM/2\\.24/SN [0-9]{6}", "VERITOR-SIM/2.24/SN 000001", true},
      {"VERITOR-SIM/2\\.24/SN [0-9]{6}", "VERITOR-SIM/2x24/SN 000001", false},
      {"[0-9A-F]{40}/[0-9]{4}", "A9993E364706816ABA3E25717850C26C9CD0D89D/0001", true},
      {"a.*b", "a\nb", false},  // "." takes no line end
      {"ab", "abab", false},    // the whole data, not a part
      {"(ab)+|c", "abab", true},
      {"\\x41\\w\\s\\S", "AB C", true},
      {"[\xC1-\xD9]+", "\xC1\xC2\xC3", true},  // bytes of the code page, not UTF-8
      {"(x+x+)+y", xs, false},
      {"(a|aa)*b", as, false},
      {"((((((((((((((((((((a))))))))))))))))))))*", as, true},
      {"(a*)*$", long_data, true},
      {std::string("a\0b", 3), std::string("a\0b", 3), true},
  };
  for (const auto& row : rows) {
    const auto pattern = CompilePattern(row.pattern);
    ASSERT_TRUE(pattern) << row.pattern;
    EXPECT_EQ(pattern->Matches(row.data), row.matches) << row.pattern << " on " << row.data.substr(0, 40);
  }
  for (const char* bad : {"[unclosed", "a{2,1}", "*a", "(a", "(a)\\1"}) EXPECT_FALSE(CompilePattern(bad)) << bad;
}

TEST(JUnitReport, EscapesWhatXmlCannotHold) {
  EXPECT_EQ(XmlEscape("a<b>&\"c'\x01\xe9\n"), "a&lt;b&gt;&amp;&quot;c&apos;\\x01\\xE9\n");
}

}  // namespace
}  // namespace veritor
