#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plan/plan.h"
#include "plan/plan_runner.h"

namespace veritor {

// A regular expression that matches `data` and, in place of the parts that
// change from run to run or device to device, any text of their shape:
// dates and times, runs of 16 or more hex digits (signatures, digests) and of
// 4 or more decimal digits (serial numbers, counters). Shorter numbers, such
// as a firmware version, stay as they are. Bytes outside 0x20-0x7E become \xHH.
std::string GeneralisedPattern(std::string_view data);
// The same regular expression with nothing generalised.
std::string LiteralPattern(std::string_view data);

// Keeps what the device answered to each step while a plan is recorded, and
// writes the plan back with those answers as its expectations.
class PlanRecorder final : public PlanReporter {
 public:
  explicit PlanRecorder(const Plan& plan) : steps_(plan.step_count) {}
  void StepDone(const StepRecord& record, const StepReply& reply) override;

  // The plan with the recorded expectations, after the comment lines of
  // `header`. A step that never ran keeps its own, with a comment. The files
  // it names are written relative to `plan_directory`, the folder the plan
  // is written into (with its trailing "/", or "" for the current one), so
  // that it replays from there.
  std::string Write(const Plan& plan, const std::vector<std::string>& header,
                    const std::string& plan_directory = "") const;

 private:
  struct Seen {
    bool ran = false;
    bool answered = false;
    int code = 0;
    bool codes_vary = false;
    std::string data;      // of the first run
    std::string pattern;   // generalised, of the first run
    bool data_varies = false;
    size_t report_lines = 0;
    bool lines_vary = false;
    bool rejected = false;  // a Z report whose signature was rejected
    uint8_t device = 0;            // the device status byte of the first run
    uint8_t device_stable = 0xFF;  // its bits that were the same in every run
  };
  ReplyExpectation Expectation(const PlanStep& step, const Seen& seen) const;
  void WriteNodes(const std::vector<PlanNode>& nodes, int depth, std::string& out) const;
  void WriteStep(const PlanStep& step, const std::string& indent, std::string& out) const;
  mutable std::string plan_directory_;  // while Write runs

  std::vector<Seen> steps_;
};

}  // namespace veritor
