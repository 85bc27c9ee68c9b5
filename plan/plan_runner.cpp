#include "plan/plan_runner.h"

#include <cstdio>
#include <utility>

#include "core/bitmap.h"
#include "core/device_errors.h"
#include "core/file_signing.h"
#include "crypto/sha1.h"

namespace veritor {

namespace {

constexpr size_t kStatusPartLength = 9;
constexpr size_t kShownDataLimit = 300;

std::string Sha1Hex(const std::string& bytes) {
  Sha1Context context;
  Sha1Init(context);
  // In pieces, so that no length is cut to 32 bits.
  for (size_t done = 0; done < bytes.size(); done += 1u << 20) {
    const size_t piece = std::min<size_t>(bytes.size() - done, 1u << 20);
    Sha1Update(context, reinterpret_cast<const uint8_t*>(bytes.data() + done), static_cast<uint32_t>(piece));
  }
  uint8_t digest[20];
  Sha1Final(digest, context);
  std::string hex;
  char pair[3];
  for (uint8_t byte : digest) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    hex += pair;
  }
  return hex;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const FileHandle file = OpenForReading(path);
  if (!file) return std::nullopt;
  std::string text;
  char chunk[4096];
  size_t read = 0;
  while ((read = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, read);
  if (std::ferror(file.get())) return std::nullopt;
  return text;
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++lines;
  return lines;
}

std::string Hex2(int value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

std::string ShownData(const std::string& data, const CodePage* page) {
  if (data.size() <= kShownDataLimit) return QuoteDeviceText(data, page);
  return QuoteDeviceText(data.substr(0, kShownDataLimit), page) + "... (" + std::to_string(data.size()) + " bytes)";
}

std::string BitsOf(int bits) {
  std::string text;
  for (int i = 7; i >= 0; --i) text += (bits >> i & 1) ? '1' : '0';
  return text;
}

// The .finally steps run to their end: the stop that ended the plan (or one
// asked for meanwhile) is not theirs, and would refuse their requests. The
// progress still reaches the front end.
class StopsHeard final : public ActionControl {
 public:
  explicit StopsHeard(ActionControl* front_end) : front_end_(front_end) {}
  void ReportProgress(const ActionProgress& progress) override {
    if (front_end_ != nullptr) front_end_->ReportProgress(progress);
  }
  bool StopRequested() override { return false; }

 private:
  ActionControl* front_end_;
};

class Runner {
 public:
  Runner(Host& host, CommandExecutor& executor, const PlanRunOptions& options, PlanReporter& reporter,
         const PlanServices& services, const Plan& plan)
      : host_(host),
        executor_(executor),
        options_(options),
        reporter_(reporter),
        services_(services),
        runs_(plan.step_count, 0),
        repeated_index_(plan.step_count, 0),
        progress_{.unit = "steps", .total = PlannedExecutions(plan)} {}

  PlanRunResult Run(const Plan& plan) {
    const uint32_t start = host_.clock.GetTickCount();
    RunNodes(plan.nodes);
    if (result_.stopped || result_.cut_short) {
      for (const PlanNode& node : plan.nodes) CollectNotReached(node);
    }
    if (!plan.finally_nodes.empty()) {
      if (result_.stopped) host_.log.LogMessage("Plan stopped: its .finally steps run");
      in_finally_ = true;
      StopsHeard finally_control(host_.control);
      ActionControl* const front_end = std::exchange(host_.control, &finally_control);
      RunNodes(plan.finally_nodes);
      host_.control = front_end;
    }
    result_.elapsed_ms = host_.clock.GetTickCount() - start;
    return std::move(result_);
  }

 private:
  // False once the run is to end.
  bool RunNodes(const std::vector<PlanNode>& nodes) {
    for (const PlanNode& node : nodes)
      if (!(node.is_block() ? RunBlock(*node.block) : RunStep(node.step))) return false;
    return true;
  }

  bool RunBlock(const PlanBlock& block) {
    if (block.times > 0) {
      for (uint64_t i = 0; i < block.times; ++i)
        if (!RunNodes(block.children)) return false;
      return true;
    }
    const uint32_t start = host_.clock.GetTickCount();
    while (host_.clock.GetTickCount() - start < block.duration_ms)
      if (!RunNodes(block.children)) return false;
    return true;
  }

  // A repeated step's run is summed with its others; only its first
  // failures are kept whole.
  void Keep(StepRecord record) {
    ++result_.executed;
    const PlanStep& step = *record.step;
    if (!step.repeated) {
      result_.records.push_back(std::move(record));
      return;
    }
    uint32_t& index = repeated_index_[step.id];
    if (index == 0) {
      RepeatedStep first;
      first.step = &step;
      first.finally = in_finally_;
      result_.repeated.push_back(std::move(first));
      index = static_cast<uint32_t>(result_.repeated.size());
    }
    RepeatedStep& summed = result_.repeated[index - 1];
    ++summed.runs;
    summed.elapsed_ms += record.elapsed_ms;
    if (record.verdict == StepVerdict::kPassed) ++summed.passed;
    else if (summed.first_failures.size() < RepeatedStep::kKeptFailures) summed.first_failures.push_back(std::move(record));
  }

  void CollectNotReached(const PlanNode& node) {
    if (node.is_block()) {
      for (const PlanNode& child : node.block->children) CollectNotReached(child);
    } else if (node.step.kind != PlanStep::Kind::kDelay && runs_[node.step.id] == 0) {
      result_.not_reached.push_back(&node.step);
    }
  }

  // The .finally block runs to its end: a stop has already been heard.
  bool StopWanted() {
    if (in_finally_ || !host_.StopRequested()) return false;
    result_.stopped = true;
    host_.log.LogMessage("Plan stopped after %llu steps", static_cast<unsigned long long>(progress_.done));
    return true;
  }

  bool RunStep(const PlanStep& step) {
    if (StopWanted()) return false;
    if (step.kind == PlanStep::Kind::kDelay) return Delay(step.delay_ms);
    StepRecord record;
    record.step = &step;
    record.run = ++runs_[step.id];
    record.finally = in_finally_;
    if (services_.step_begins) services_.step_begins(step);
    const uint32_t start = host_.clock.GetTickCount();
    const StepReply reply = Execute(step);
    record.elapsed_ms = host_.clock.GetTickCount() - start;
    Judge(step, reply, record);
    if (record.verdict != StepVerdict::kPassed && services_.step_log) record.log = services_.step_log();
    reporter_.StepDone(record, reply);
    if (!in_finally_) {
      ++progress_.done;
      host_.ReportProgress(progress_);
    }
    const bool passed = record.verdict == StepVerdict::kPassed;
    Keep(std::move(record));
    if (in_finally_) return true;
    if (result_.stopped) return false;
    // A port that has gone fails every step left at once: the run ends here.
    if (reply.result == kResultPortGone) {
      result_.cut_short = true;
      return false;
    }
    if (passed || options_.keep_going) return true;
    result_.cut_short = true;
    return false;
  }

  void Judge(const PlanStep& step, const StepReply& reply, StepRecord& record) {
    if (reply.stopped) {
      record.verdict = StepVerdict::kStopped;
      record.expected = ExpectedText(step);
      record.received = "stopped by the operator part way" + (reply.data.empty() ? "" : " (" + reply.data + ")");
    } else if (!reply.answered) {
      const bool refused = reply.result == kResultOk || reply.result == kResultSignatureRejected;
      record.verdict = refused ? StepVerdict::kRefused : StepVerdict::kNoReply;
      record.expected = step.kind == PlanStep::Kind::kZReport ? "the report read and closed" : FormatExpectation(step.expect);
      record.received = reply.data;
    } else if (!options_.record) {
      record.received = step.kind == PlanStep::Kind::kZReport ? CheckZReport(step, reply, record.elapsed_ms)
                                                              : CheckReply(step.expect, reply, record.elapsed_ms, options_.page);
      if (!record.received.empty()) {
        record.verdict = StepVerdict::kFailed;
        record.expected = ExpectedText(step);
      }
    }
    if (in_finally_) ++(record.verdict == StepVerdict::kPassed ? result_.finally_passed : result_.finally_failed);
    else if (record.verdict == StepVerdict::kPassed) ++result_.passed;
    else if (record.verdict == StepVerdict::kNoReply) ++result_.no_reply;
    else if (record.verdict == StepVerdict::kStopped) ++result_.stopped_steps;
    else ++result_.failed;
  }

  std::string ExpectedText(const PlanStep& step) const {
    if (step.kind != PlanStep::Kind::kZReport) return FormatExpectation(step.expect, options_.page);
    const std::string line = FormatPlanStep(step, step.expect);
    return line.substr(line.find(' ') + 1);
  }

  std::string CheckZReport(const PlanStep& step, const StepReply& reply, uint32_t elapsed_ms) {
    if (!reply.report_mismatch.empty()) return reply.report_mismatch + "; answered No, x/2 not sent";
    if (!step.zreport().answer) {
      if (reply.result == kResultSignatureRejected) return {};
      return "x/2 sent although the signature was rejected (" + DescribeReply(step.expect, reply, options_.page) + ")";
    }
    if (reply.result == kResultSignatureRejected) return "the signature rejected; the report left open";
    std::string mismatch = CheckReply(step.expect, reply, elapsed_ms, options_.page);
    if (!mismatch.empty()) return "x/2 answered " + mismatch;
    return {};
  }

  // How the report read differs from the plan's lines=, sha1= and afile=.
  static std::string ReportMismatch(const ZReportCheck& check, size_t lines, const std::string& sha1) {
    const std::string read = "lines=" + std::to_string(lines) + " sha1=" + sha1;
    if (check.lines && *check.lines != lines) return read;
    if (!check.sha1.empty() && check.sha1 != sha1) return read;
    if (!check.a_file.empty()) {
      const auto wanted = ReadWholeFile(check.a_file);
      if (!wanted) return "afile " + QuoteText(check.a_file) + " cannot be read";
      if (Sha1Hex(*wanted) != sha1) return "an A file unlike " + QuoteText(check.a_file) + " (" + read + ")";
    }
    return {};
  }

  bool Delay(uint32_t ms) {
    const uint32_t start = host_.clock.GetTickCount();
    do {
      host_.pump.PumpOneMessage();
      if (StopWanted()) return false;
    } while (host_.clock.GetTickCount() - start < ms);
    return true;
  }

  StepReply Execute(const PlanStep& step) {
    switch (step.kind) {
      case PlanStep::Kind::kRequest: return Request(step.text.str());
      case PlanStep::Kind::kSign: return FileAction(step, SignFile(host_, executor_, step.text.str(), options_.verbose));
      case PlanStep::Kind::kBitmap:
        return FileAction(step, UploadBitmapFile(host_, executor_, step.text.str(), options_.verbose));
      case PlanStep::Kind::kBatch: return FileAction(step, RunBatchFile(host_, executor_, step.text.str(), options_.verbose));
      case PlanStep::Kind::kZReport: return ZReport(step.zreport());
      case PlanStep::Kind::kDelay: break;
    }
    return {};
  }

  StepReply Request(const std::string& request) {
    StepReply reply;
    reply.result = executor_.ExecuteCommand(request, data_, options_.verbose);
    if (reply.result == kResultSignatureRejected) {
      reply.data = "the signature refused (answered No); x/2 not sent";
      return reply;
    }
    if (reply.result != kResultOk) {
      reply.data = "no reply (result " + std::to_string(reply.result) + ")";
      return reply;
    }
    return Decoded(std::move(data_));
  }

  StepReply Decoded(std::string data) const {
    StepReply reply;
    reply.answered = true;
    reply.code = executor_.ReplyErrorCode();
    reply.device = executor_.DeviceStatusBits();
    reply.function = executor_.FunctionStatusBits();
    reply.data = std::move(data);
    return reply;
  }

  // A file action is judged by its last reply; a device error earlier in it
  // (a bitmap row goes on after one) fails a step that expects 00.
  StepReply FileAction(const PlanStep& step, ActionOutcome outcome) {
    StepReply reply;
    switch (outcome) {
      case ActionOutcome::kLinkFailure:
        reply.result = kResultNoAnswer;
        reply.data = "no reply";
        return reply;
      case ActionOutcome::kRefused:
      case ActionOutcome::kIgnored:
        reply.data = "the file " + QuoteText(step.text.view()) + " was refused";
        return reply;
      case ActionOutcome::kStopped:
        result_.stopped = true;
        reply.stopped = true;
        return reply;
      case ActionOutcome::kAnswered:
      case ActionOutcome::kAnsweredCut:
      case ActionOutcome::kDeviceError: break;
    }
    const std::string& frame = executor_.ReplyBuffer();
    reply = Decoded(frame.size() > kStatusPartLength ? frame.substr(kStatusPartLength) : std::string());
    // A batch line sent cut is a request the file does not hold: not a pass either.
    const bool failed = outcome == ActionOutcome::kDeviceError || outcome == ActionOutcome::kAnsweredCut;
    if (failed && reply.code == 0) reply.code = -1;
    return reply;
  }

  // A, the Q lines to the line of kind 3, the report compared with what the
  // plan expects, then x/2 with the plan's answer: Yes only when it says yes
  // and the report is the one expected, as an operator compares the printed
  // signature first. A No never sends x/2, on any link.
  StepReply ZReport(const ZReportCheck& check) {
    StepReply reply = Request("A");
    if (!reply.answered) return reply;
    if (reply.code != 0) return Unfinished("A answered " + Hex2(reply.code), reply);
    std::string lines;
    size_t count = 0;
    for (size_t asked = 0;; ++asked) {
      if (asked == check.max_lines) return Unfinished("no end of the report after " + std::to_string(asked) + " lines", reply);
      if (host_.StopRequested()) {
        result_.stopped = true;
        reply.stopped = true;
        reply.data = "after " + std::to_string(asked) + " lines of the report; x/2 not sent";
        return reply;
      }
      reply = Request("Q");
      if (!reply.answered) return reply;
      if (reply.code != 0) return Unfinished("Q answered " + Hex2(reply.code), reply);
      const char kind = reply.data.empty() ? '\0' : reply.data[0];
      if (kind == '3') break;
      if (kind == '1' || kind == '2') continue;
      lines += (reply.data.size() > 2 ? reply.data.substr(2) : std::string()) + "\r\n";
      ++count;
    }
    // The serial link wrote the A file itself (closed at the line of kind 3):
    // that file is what is checked.
    const bool network = IsNetworkLink(host_.state.ActiveLink);
    const std::string a_file = services_.a_file_path ? services_.a_file_path() : std::string();
    if (!a_file.empty() && !network) {
      if (auto written = ReadWholeFile(a_file)) lines = std::move(*written);
      count = CountLines(lines);
    }
    const std::string sha1 = Sha1Hex(lines);
    const std::string mismatch = options_.record ? std::string() : ReportMismatch(check, count, sha1);
    const bool yes = check.answer && mismatch.empty();
    if (network) {
      // Only the serial link puts the signature to the operator: here the plan answers.
      host_.log.LogMessage("Calculated signature: %s; answered %s (plan)", sha1.c_str(), yes ? "Yes" : "No");
    }
    if (!yes && network) {
      reply = StepReply{};
      reply.result = kResultSignatureRejected;
    } else {
      if (services_.answers) services_.answers->SetAnswer(yes);
      reply = Request("x/2");
      if (services_.answers) services_.answers->SetAnswer(std::nullopt);
    }
    if (reply.result == kResultSignatureRejected) reply.answered = true;
    if (!reply.answered) return reply;
    reply.report_lines = count;
    reply.report_sha1 = sha1;
    reply.report_mismatch = mismatch;
    return reply;
  }

  static StepReply Unfinished(const std::string& why, StepReply reply) {
    reply.answered = false;
    reply.data = why;
    return reply;
  }

  Host& host_;
  CommandExecutor& executor_;
  const PlanRunOptions& options_;
  PlanReporter& reporter_;
  const PlanServices& services_;
  std::vector<uint64_t> runs_;
  std::vector<uint32_t> repeated_index_;  // by step id: 1 + its index in result_.repeated, 0 for none yet
  bool in_finally_ = false;
  ActionProgress progress_;
  PlanRunResult result_;
  std::string data_;
};

}  // namespace

bool PlanPrompts::AskYesNo(const std::string& caption, const std::string& text) {
  if (!answer_) return inner_.AskYesNo(caption, text);
  if (log_ != nullptr) log_->LogMessage("%s; answered %s (plan)", text.substr(0, text.find(" \r\n")).c_str(),
                                        *answer_ ? "Yes" : "No");
  return *answer_;
}

void PlanLogReporter::StepDone(const StepRecord& record, const StepReply&) {
  log_.LogMessage("%s", FormatStepOutcome(record).c_str());
}

ActionOutcome PlanRunResult::Outcome() const {
  if (no_reply > 0) return ActionOutcome::kLinkFailure;
  if (failed > 0 || finally_failed > 0) return ActionOutcome::kDeviceError;
  if (stopped) return ActionOutcome::kStopped;
  return ActionOutcome::kAnswered;
}

PlanRunResult RunPlan(Host& host, CommandExecutor& executor, const Plan& plan, const PlanRunOptions& options,
                      PlanReporter& reporter, const PlanServices& services) {
  return Runner(host, executor, options, reporter, services, plan).Run(plan);
}

std::string DescribeReply(const ReplyExpectation& expect, const StepReply& reply, const CodePage* page) {
  std::string text = reply.code < 0 ? std::string("a device error on the way, then 00") : Hex2(reply.code);
  if (reply.code > 0) {
    if (const DeviceErrorRow* row = FindDeviceError(reply.code)) text += std::string(" (") + row->mnemonic + ")";
  }
  if (expect.data_rule != ReplyExpectation::Data::kAny || !reply.data.empty()) text += " data=" + ShownData(reply.data, page);
  if (expect.device.mask != 0) text += " device=" + BitsOf(reply.device);
  if (expect.function.mask != 0) text += " function=" + BitsOf(reply.function);
  return text;
}

std::string CheckReply(const ReplyExpectation& expect, const StepReply& reply, uint32_t elapsed_ms,
                       const CodePage* page) {
  bool matches = !expect.error_code || *expect.error_code == reply.code;
  if (expect.data_rule == ReplyExpectation::Data::kExact) matches = matches && std::string_view(reply.data) == expect.data.view();
  if (expect.data_rule == ReplyExpectation::Data::kPattern)
    matches = matches && expect.pattern && expect.pattern->Matches(reply.data);
  matches = matches && expect.device.Matches(reply.device) && expect.function.Matches(reply.function);
  if (!matches) return DescribeReply(expect, reply, page);
  if (expect.time_limit_ms && elapsed_ms > *expect.time_limit_ms)
    return DescribeReply(expect, reply, page) + " after " + std::to_string(elapsed_ms) + " ms";
  return {};
}

std::string StepName(const StepRecord& record) {
  const PlanStep& step = *record.step;
  std::string name = "line " + std::to_string(step.line);
  if (step.repeated) name += ", run " + std::to_string(record.run);
  const std::string text = FormatPlanStep(step, ReplyExpectation{});
  return name + ": " + (text.size() > 80 ? text.substr(0, 77) + "..." : text);
}

std::string RepeatedStepName(const RepeatedStep& repeated) {
  const std::string text = FormatPlanStep(*repeated.step, ReplyExpectation{});
  return "line " + std::to_string(repeated.step->line) + ": " + (text.size() > 80 ? text.substr(0, 77) + "..." : text) +
         " (" + std::to_string(repeated.runs) + (repeated.runs == 1 ? " run)" : " runs)");
}

namespace {

// A log entry shows nothing of a line over its limit: long texts are cut.
std::string ForLog(const std::string& text) {
  constexpr size_t kLimit = 1000;
  return text.size() <= kLimit ? text : text.substr(0, kLimit) + "... (" + std::to_string(text.size()) + " characters)";
}

}  // namespace

std::string FormatStepOutcome(const StepRecord& record) {
  const char* verdicts[] = {"PASS", "FAIL", "FAIL", "FAIL", "STOP"};
  std::string line = std::string(verdicts[static_cast<int>(record.verdict)]) + "  " + StepName(record) + " (" +
                     std::to_string(record.elapsed_ms) + " ms)";
  if (record.verdict == StepVerdict::kPassed) return line;
  return line + "\n      expected: " + ForLog(record.expected) + "\n      received: " + ForLog(record.received);
}

std::string FormatPlanSummary(const PlanRunResult& result) {
  char text[200];
  const uint64_t steps = result.executed;
  const uint64_t finally = result.finally_passed + result.finally_failed;
  std::snprintf(text, sizeof text, "Plan: %llu steps, %llu passed, %llu failed, %u.%03u s",
                static_cast<unsigned long long>(steps - finally), static_cast<unsigned long long>(result.passed),
                static_cast<unsigned long long>(result.failed + result.no_reply + result.stopped_steps),
                result.elapsed_ms / 1000, result.elapsed_ms % 1000);
  std::string summary = text;
  if (result.stopped) summary += "; stopped by the operator";
  else if (result.cut_short && result.no_reply > 0) summary += "; the link failed";
  else if (result.cut_short) summary += "; stopped at the first failure";
  if (!result.not_reached.empty()) summary += "; " + std::to_string(result.not_reached.size()) + " steps not reached";
  if (finally > 0) {
    std::snprintf(text, sizeof text, "; .finally: %llu steps, %llu passed, %llu failed",
                  static_cast<unsigned long long>(finally), static_cast<unsigned long long>(result.finally_passed),
                  static_cast<unsigned long long>(result.finally_failed));
    summary += text;
  }
  return summary;
}

}  // namespace veritor
