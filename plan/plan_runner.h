#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/batch.h"
#include "core/command.h"
#include "core/host.h"
#include "plan/plan.h"

namespace veritor {

// The operator's answer to the Z report's signature question, as a plan
// gives it; every other box goes to the front end's own prompts.
class PlanPrompts final : public Prompts {
 public:
  explicit PlanPrompts(Prompts& inner, MessageLog* log = nullptr) : inner_(inner), log_(log) {}
  void SetAnswer(std::optional<bool> answer) { answer_ = answer; }

  void ErrorBox(const std::string& text) override { inner_.ErrorBox(text); }
  void MessageBox(const std::string& caption, const std::string& text) override { inner_.MessageBox(caption, text); }
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> BrowseForFile(const std::string& pattern, const std::string& title) override {
    return inner_.BrowseForFile(pattern, title);
  }

 private:
  Prompts& inner_;
  MessageLog* log_;
  std::optional<bool> answer_;
};

// What the device did with one run of a step.
struct StepReply {
  bool answered = false;  // a reply was decoded (false: no reply, or a refused file)
  int result = kResultOk;
  int code = 0;
  int device = 0;
  int function = 0;
  std::string data;
  bool stopped = false;   // the operator stopped the step part way
  // A Z report: the lines of its A file and their SHA-1, and how they differ
  // from what the plan expects ("" when they do not), found before x/2.
  size_t report_lines = 0;
  std::string report_sha1;
  std::string report_mismatch;
};

// kRefused: a refused file or signature; kStopped: stopped by the operator
// part way (an error, as the step's outcome is not known).
enum class StepVerdict { kPassed, kFailed, kNoReply, kRefused, kStopped };

// One run of a step; it points into its plan. Only a failure keeps the texts.
struct StepRecord {
  const PlanStep* step = nullptr;
  uint64_t run = 1;  // how often this step has run, this time included
  StepVerdict verdict = StepVerdict::kPassed;
  bool finally = false;  // a step of the .finally block
  uint32_t elapsed_ms = 0;
  std::string expected;
  std::string received;
  std::string log;  // the log lines the step wrote
};

// Told of every step run, as it ends.
class PlanReporter {
 public:
  virtual ~PlanReporter() = default;
  virtual void StepDone(const StepRecord& record, const StepReply& reply) = 0;
};

// Writes each step's outcome line into the message log.
class PlanLogReporter final : public PlanReporter {
 public:
  explicit PlanLogReporter(MessageLog& log) : log_(log) {}
  void StepDone(const StepRecord& record, const StepReply& reply) override;

 private:
  MessageLog& log_;
};

// The runs of one plan line inside a repeat block, summed: a soak of a
// million runs keeps one of these, with its first failures whole.
struct RepeatedStep {
  static constexpr size_t kKeptFailures = 5;
  const PlanStep* step = nullptr;
  bool finally = false;
  uint64_t runs = 0;
  uint64_t passed = 0;
  uint64_t elapsed_ms = 0;
  std::vector<StepRecord> first_failures;  // at most kKeptFailures
  uint64_t failed() const { return runs - passed; }
};

struct PlanRunResult {
  std::vector<StepRecord> records;       // each run of a step outside repeat blocks
  std::vector<RepeatedStep> repeated;    // each step inside one that ran, in the order of their first runs
  uint64_t executed = 0;                 // step runs, delays not counted
  uint64_t passed = 0;
  uint64_t failed = 0;   // mismatches and refused files
  uint64_t no_reply = 0; // link failures
  uint64_t stopped_steps = 0;  // steps stopped part way
  uint64_t finally_passed = 0;  // the .finally block's steps, counted apart
  uint64_t finally_failed = 0;
  uint32_t elapsed_ms = 0;
  bool stopped = false;   // by the operator
  bool cut_short = false; // a failure ended the run before its end
  // When the run ended early: the steps that never ran, in the order of the file.
  std::vector<const PlanStep*> not_reached;
  bool AllPassed() const { return failed == 0 && no_reply == 0 && !stopped && finally_failed == 0; }
  // kAnswered when every step passed; kLinkFailure when a step got no reply;
  // kDeviceError when a step failed otherwise; kStopped.
  ActionOutcome Outcome() const;
};

struct PlanRunOptions {
  bool verbose = false;     // the Details setting for every request
  bool keep_going = false;  // run on after a failed step
  bool record = false;      // check nothing: every answered step passes
  const CodePage* page = nullptr;  // the device's: the failure lines show its text through it
};

// What the runner needs of the link's surroundings.
struct PlanServices {
  // The serial link's A file of the last "A" reply; "" when there is none.
  std::function<std::string()> a_file_path;
  // Where the plan's answer to the signature question goes; none: the front
  // end's prompts ask.
  PlanPrompts* answers = nullptr;
  // A step begins; what the log took since then (a step that does not pass
  // keeps it). None: no step keeps its log lines.
  std::function<void(const PlanStep&)> step_begins;
  std::function<std::string()> step_log;
};

// Runs a plan's steps in order over the executor, step after step: no pause
// between them but the plan's own delays. Stops at the first failed step
// (unless keep_going), or when the operator stops it; then runs the .finally
// block whatever the end, every step of it. Reports progress in "steps".
PlanRunResult RunPlan(Host& host, CommandExecutor& executor, const Plan& plan, const PlanRunOptions& options,
                      PlanReporter& reporter, const PlanServices& services = {});

// Compares one reply with its expectation; "" when it matches, else what was
// received, in the plan's own words.
std::string CheckReply(const ReplyExpectation& expect, const StepReply& reply, uint32_t elapsed_ms,
                       const CodePage* page = nullptr);
// The reply in the plan's words, as far as the expectation looks at it.
std::string DescribeReply(const ReplyExpectation& expect, const StepReply& reply, const CodePage* page = nullptr);

// "line 9: v (1000 runs)": a repeated step's runs, summed.
std::string RepeatedStepName(const RepeatedStep& repeated);

// "PASS  line 3: v (12 ms)", or the FAIL line with an expected and a
// received line beneath it.
std::string FormatStepOutcome(const StepRecord& record);
// "Plan: 12 steps, 11 passed, 1 failed, 3.201 s", with why it ended early.
std::string FormatPlanSummary(const PlanRunResult& result);
// The step as it appears in the outcome lines: "line 3: v", "line 9, run 4: ...".
std::string StepName(const StepRecord& record);

}  // namespace veritor
