#include "console/plan_action.h"

#include <QApplication>
#include <gtest/gtest.h>

#include "console/main_window.h"
#include "sim/in_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using Lines = std::vector<std::string>;

// Stops the plan once `stop_after` steps have been reported.
struct StopButton final : ActionControl {
  void ReportProgress(const ActionProgress& progress) override { reports.push_back(progress); }
  bool StopRequested() override { return reports.size() >= stop_after; }
  std::vector<ActionProgress> reports;
  size_t stop_after = SIZE_MAX;
};

// The window connected to the in-process serial device; the plan runs on its links with its log.
class PlanActionTest : public ::testing::Test, public MessagePump {
 protected:
  VirtualTickClock clock;
  sim::InProcessSerial serial{clock};
  test::ScriptedPrompts prompts;
  test::TempDir out;
  MainWindow window{{clock, *this, serial.opener(), network,
                     out.slash(), &prompts}};
  StopButton stop;
  Host host{clock, *this, window.log(), window, prompts, window.state(), &stop};

  struct NoNetwork final : Network {
    int OpenDatagramSocket(std::unique_ptr<DatagramSocket>&) override { return 10047; }
    int OpenStreamSocket(std::unique_ptr<StreamSocket>&) override { return 10047; }
  };
  static inline NoNetwork network;

  void PumpOneMessage() override {
    serial.pump().PumpOneMessage();
    QCoreApplication::processEvents();
  }
  std::string Plan(const std::string& text) {
    test::WriteFile(out.file("plan.txt"), text);
    return out.file("plan.txt");
  }
  Lines Log() {
    window.log_model().Flush();
    Lines entries;
    for (size_t i = 0; i < window.log_model().EntryCount(); ++i) entries.emplace_back(window.log_model().Entry(i));
    return entries;
  }
};

TEST_F(PlanActionTest, RunsAPlanIntoTheLogWithProgressAndStop) {
  EXPECT_EQ(RunPlanFile(host, window.links(), Plan("v"), false), ActionOutcome::kRefused);
  EXPECT_EQ(prompts.boxes.back().text, "Not connected!");
  ASSERT_TRUE(window.links().Connect(1, 115200, "", false).connected);
  EXPECT_EQ(RunPlanFile(host, window.links(), Plan("v => 0"), false), ActionOutcome::kRefused);
  EXPECT_EQ(prompts.boxes.back().text.rfind("Plan refused: " + out.file("plan.txt") + ":1: ", 0), 0u);

  window.log_model().Clear();
  const std::string path = Plan("v\nbogus => 06\n? => data=\"not so\"\nv\n");
  EXPECT_EQ(RunPlanFile(host, window.links(), path, false), ActionOutcome::kDeviceError);
  Lines log = Log();
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[0], "Running plan '" + path + "'");
  EXPECT_TRUE(log[1].starts_with("PASS  line 1: v ("));
  EXPECT_TRUE(log[4].starts_with("FAIL  line 3: ? ("));
  EXPECT_EQ(log[5], "      expected: 00 data=\"not so\"");
  EXPECT_EQ(log[6], "      received: 00 data=\"\"");
  EXPECT_TRUE(log[7].starts_with("Plan: 3 steps, 2 passed, 1 failed, ")) << log[7];
  ASSERT_EQ(stop.reports.size(), 3u);
  EXPECT_STREQ(stop.reports.back().unit, "steps");
  EXPECT_EQ(stop.reports.back().total, 4u);

  // Without the plan's answer wired into the window's prompts, the operator answers the signature question.
  window.log_model().Clear();
  prompts.answers = {false, false};
  EXPECT_EQ(RunPlanFile(host, window.links(), Plan(".zreport answer=yes\n"), false), ActionOutcome::kDeviceError);
  EXPECT_EQ(prompts.questions, 2);  // x/2, then x/5
  log = Log();
  EXPECT_EQ(log[log.size() - 2], "      received: the signature rejected; the report left open");

  stop.reports.clear();
  stop.stop_after = 2;
  window.log_model().Clear();
  EXPECT_EQ(RunPlanFile(host, window.links(), Plan(".repeat 10\nv\n.end"), false), ActionOutcome::kStopped);
  log = Log();
  EXPECT_EQ(log[log.size() - 2], "Plan stopped after 2 steps");
  EXPECT_TRUE(log.back().ends_with("; stopped by the operator")) << log.back();
}

}  // namespace
}  // namespace veritor

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
