#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plan/data_pattern.h"
#include "plan/step_text.h"

namespace veritor {

class CodePage;

// A test plan: requests with what their replies must be, the console's file
// actions, Z reports, delays and repeated blocks. Text, one step a line:
//
//   # a comment
//   v                                  (a bare request: error code 00)
//   bogus   => 06
//   v       => 00 data~"VERITOR-SIM/2\.24/SN [0-9]{6}" within=500ms
//   ?       => 00 function=xxxxx0x0
//   .repeat 100            (or: .repeat 30s / 10m / 2h: for that long)
//     ~/7/10 => data="7/..."
//     .delay 20ms
//   .end
//   .sign "file.txt" => 00 data~"[0-9A-F]{40}/[0-9]{4}"
//   .bmp logo.bmp
//   .batch lines.txt
//   .zreport answer=yes lines=4 sha1=0123...
//   .send ".starts with a dot" => 06
//   .finally                 (steps run after the plan ends, also after a
//     }                       failure or a stop)
//   .end
//
// A plain batch file is a plan whose requests all expect 00 (blank lines
// are skipped, "#" lines are comments). See the README for the whole form.

// Eight status bits as a plan names them: which bits matter, and their values.
struct StatusBits {
  uint8_t value = 0;
  uint8_t mask = 0;
  bool Matches(int bits) const { return (static_cast<uint8_t>(bits) & mask) == value; }
};

// What one reply must be.
struct ReplyExpectation {
  enum class Data : uint8_t { kAny, kExact, kPattern };
  StepText data;                      // the exact text, or the pattern as written
  std::shared_ptr<const DataPattern> pattern;  // matched against the whole data
  std::optional<uint32_t> time_limit_ms;
  std::optional<uint8_t> error_code = 0;  // nothing: any code
  Data data_rule = Data::kAny;
  StatusBits device;
  StatusBits function;
};

// What a Z-report step checks besides the replies.
struct ZReportCheck {
  bool answer = false;                 // the operator's answer to the signature question (always written)
  std::optional<size_t> lines;         // lines in the A file
  std::string sha1;                    // 40 upper-case hex digits of the A file's SHA-1
  std::string a_file;                  // a file the A file must equal, byte for byte
  size_t max_lines = 100000;           // Q requests before the report counts as endless
};

// A part few steps have, kept out of line so that the common step stays
// small: reads of an absent part see its defaults, Edit() makes it.
template <typename T>
class RarePart {
 public:
  RarePart() = default;
  RarePart(const RarePart& other) : part_(other.part_ ? std::make_unique<T>(*other.part_) : nullptr) {}
  RarePart(RarePart&&) noexcept = default;
  RarePart& operator=(const RarePart& other) {
    if (this != &other) part_ = other.part_ ? std::make_unique<T>(*other.part_) : nullptr;
    return *this;
  }
  RarePart& operator=(RarePart&&) noexcept = default;
  ~RarePart() = default;

  const T& operator*() const { return part_ ? *part_ : Defaults(); }
  const T* operator->() const { return &**this; }
  T& Edit() {
    if (!part_) part_ = std::make_unique<T>();
    return *part_;
  }
  bool present() const { return part_ != nullptr; }

 private:
  static const T& Defaults() {
    static const T defaults;
    return defaults;
  }
  std::unique_ptr<T> part_;
};

// What only file actions and Z reports carry.
struct StepFiles {
  std::string written;       // a file action's path as the plan wrote it
  ZReportCheck zreport;
};

struct PlanStep {
  enum class Kind : uint8_t { kRequest, kSign, kBitmap, kBatch, kZReport, kDelay };
  Kind kind = Kind::kRequest;
  bool repeated = false;     // inside a repeat block
  unsigned line = 0;         // in the plan file
  uint32_t id = 0;           // 0, 1, 2... in the order of the file
  uint32_t delay_ms = 0;
  StepText text;             // the request, or the file's path as the runner opens it
  ReplyExpectation expect;   // for a Z report: of the reply to x/2
  RarePart<StepFiles> files;

  const std::string& written() const { return files->written; }
  const ZReportCheck& zreport() const { return files->zreport; }
};

struct PlanNode;

// A block repeated `times` times or for `duration_ms`.
struct PlanBlock {
  unsigned line = 0;
  uint64_t times = 0;
  uint32_t duration_ms = 0;
  std::vector<PlanNode> children;
};

// A step, or a repeated block (its step then unused).
struct PlanNode {
  PlanStep step;
  RarePart<PlanBlock> block;
  bool is_block() const { return block.present(); }
};

struct Plan {
  std::vector<PlanNode> nodes;
  std::vector<PlanNode> finally_nodes;  // the .finally block: run after the plan, whatever its end
  size_t step_count = 0;  // steps in the file, delays included
};

// The plan, or nothing with `error` saying "line N: why". Relative paths of
// file steps are taken from `base_directory` (with its trailing "/", or "").
// A plan is UTF-8 text (a leading byte order mark is skipped) with one step
// at least; a line with a NUL byte or that is not UTF-8 is refused. Requests
// and the data= and data~ texts go to the device, or are compared with its
// replies, as the bytes of its code page `page` (\xHH escapes are bytes as
// they stand); without a page, as the plan's bytes.
std::optional<Plan> ParsePlan(std::string_view text, const std::string& base_directory, std::string& error,
                              const CodePage* page = nullptr);
// As ParsePlan, with `error` saying "PATH:N: why".
std::optional<Plan> LoadPlanFile(const std::string& path, std::string& error, const CodePage* page = nullptr);

// Calls `visit` with every step of the plan, the .finally block's included,
// in the order of the file.
void ForEachStep(const Plan& plan, const std::function<void(const PlanStep&)>& visit);

// How many steps a run of the plan executes (delays not counted), or 0 when
// a block runs for a time and the number cannot be known.
uint64_t PlannedExecutions(const Plan& plan);

// --- Writing plans back, as the recorder and the failure lines do ---------

// "text" with \" \\ and \xHH escapes for the bytes a line cannot hold.
std::string QuoteText(std::string_view text);
// The device's bytes as the operator reads them: through its code page,
// quoted, control characters as \xHH escapes; without a page, QuoteText.
std::string QuoteDeviceText(std::string_view bytes, const CodePage* page);
// The step as a plan line (without indentation), with this expectation.
std::string FormatPlanStep(const PlanStep& step, const ReplyExpectation& expect);
// The expectation's part of a line, after "=> "; "00" when it asks nothing more.
// With a page, data= shows the device's text through it (QuoteDeviceText).
std::string FormatExpectation(const ReplyExpectation& expect, const CodePage* page = nullptr);
std::string FormatDuration(uint32_t ms);

// Compiles a pattern of a plan; nothing when it is not a valid regular expression.
inline std::shared_ptr<const DataPattern> CompilePattern(const std::string& pattern) {
  return DataPattern::Compile(pattern);
}

}  // namespace veritor
