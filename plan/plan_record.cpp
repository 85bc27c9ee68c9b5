#include "plan/plan_record.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace veritor {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

size_t RunLength(std::string_view text, size_t at, bool (*belongs)(char)) {
  size_t end = at;
  while (end < text.size() && belongs(text[end])) ++end;
  return end - at;
}

void AppendLiteral(std::string& out, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte >= 0x7F) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    out += hex;
    return;
  }
  if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) out += '\\';
  out += c;
}

std::string DigitClass(size_t length) { return "[0-9]{" + std::to_string(length) + "}"; }

// Digits, separators and digits: a date (2026-12-07, 07.12.2026) or a time
// (14:05, 14:05:59). Its length, or 0.
size_t DateOrTimeLength(std::string_view text, size_t at, std::string& pattern) {
  struct Shape {
    const char* form;  // 9 a digit, s a date separator, : a colon
  };
  static const Shape shapes[] = {{"9999s99s99"}, {"99s99s9999"}, {"99:99:99"}, {"99:99"}};
  for (const Shape& shape : shapes) {
    const size_t length = std::strlen(shape.form);
    if (at + length > text.size()) continue;
    bool fits = true;
    char separator = '\0';
    for (size_t i = 0; i < length && fits; ++i) {
      const char c = text[at + i];
      if (shape.form[i] == '9') fits = IsDigit(c);
      else if (shape.form[i] == ':') fits = c == ':';
      else if (separator == '\0') fits = (separator = c) == '-' || c == '.' || c == '/';
      else fits = c == separator;
    }
    // Not the front of a longer number.
    if (!fits || (at + length < text.size() && IsDigit(text[at + length]))) continue;
    for (size_t i = 0; i < length;) {
      const size_t digits = RunLength(text, at + i, IsDigit);
      if (digits > 0) {
        pattern += DigitClass(digits);
        i += digits;
      } else {
        AppendLiteral(pattern, text[at + i++]);
      }
    }
    return length;
  }
  return 0;
}

}  // namespace

std::string LiteralPattern(std::string_view data) {
  std::string out;
  for (char c : data) AppendLiteral(out, c);
  return out;
}

std::string GeneralisedPattern(std::string_view data) {
  std::string out;
  for (size_t at = 0; at < data.size();) {
    const bool starts_word = at == 0 || !IsHexDigit(data[at - 1]);
    if (starts_word && IsDigit(data[at])) {
      if (const size_t length = DateOrTimeLength(data, at, out)) {
        at += length;
        continue;
      }
    }
    const size_t hex = starts_word ? RunLength(data, at, IsHexDigit) : 0;
    if (hex >= 16) {
      const std::string_view run = data.substr(at, hex);
      const bool lower = run.find_first_of("abcdef") != std::string_view::npos;
      const bool upper = run.find_first_of("ABCDEF") != std::string_view::npos;
      if (lower || upper) {
        out += std::string(lower && upper ? "[0-9A-Fa-f]{" : lower ? "[0-9a-f]{" : "[0-9A-F]{") +
               std::to_string(hex) + "}";
        at += hex;
        continue;
      }
    }
    const size_t digits = RunLength(data, at, IsDigit);
    if (digits >= 4) {
      out += DigitClass(digits);
      at += digits;
    } else if (digits > 0) {
      out += data.substr(at, digits);
      at += digits;
    } else {
      AppendLiteral(out, data[at++]);
    }
  }
  return out;
}

namespace {

// `path` (as this process opens it) as a plan in `directory` names it: from
// that folder when it lies below it or beside it, else whole.
std::string PathFrom(const std::string& directory, const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path file = fs::absolute(path, error).lexically_normal();
  const fs::path folder = fs::absolute(directory.empty() ? "." : directory, error).lexically_normal();
  if (error) return path;
  const fs::path relative = file.lexically_relative(folder);
  return relative.empty() ? file.string() : relative.string();
}

}  // namespace

void PlanRecorder::StepDone(const StepRecord& record, const StepReply& reply) {
  Seen& seen = steps_[record.step->id];
  const std::string pattern = reply.answered ? GeneralisedPattern(reply.data) : std::string();
  if (!seen.ran) {
    seen.ran = true;
    seen.answered = reply.answered;
    seen.code = reply.code;
    seen.data = reply.data;
    seen.pattern = pattern;
    seen.report_lines = reply.report_lines;
    seen.rejected = reply.result == kResultSignatureRejected;
    seen.device = static_cast<uint8_t>(reply.device);
    return;
  }
  seen.device_stable &= static_cast<uint8_t>(~(seen.device ^ reply.device));
  seen.codes_vary = seen.codes_vary || seen.code != reply.code;
  seen.data_varies = seen.data_varies || seen.pattern != pattern;
  seen.lines_vary = seen.lines_vary || seen.report_lines != reply.report_lines;
}

ReplyExpectation PlanRecorder::Expectation(const PlanStep& step, const Seen& seen) const {
  ReplyExpectation expect;
  expect.error_code = seen.codes_vary ? std::nullopt : std::optional<uint8_t>(static_cast<uint8_t>(seen.code < 0 ? 0 : seen.code));
  // The device status byte is part of the answer: a device that now reports
  // a bad battery or a fatal error must not pass. Its "pend" and "busy" bits
  // (0x04, 0x01) come and go with the exchanges, the function status bits with
  // the plan's own steps (a signature made, a block open), and bits that
  // changed from run to run are left free.
  constexpr uint8_t kDeviceHealthBits = 0xFA;
  const auto health = static_cast<uint8_t>(kDeviceHealthBits & seen.device_stable);
  if (!seen.rejected) expect.device = {static_cast<uint8_t>(seen.device & health), health};
  if (seen.data_varies || seen.rejected || (seen.data.empty() && step.kind != PlanStep::Kind::kRequest)) return expect;
  if (seen.pattern == LiteralPattern(seen.data)) {
    expect.data_rule = ReplyExpectation::Data::kExact;
    expect.data = seen.data;
  } else {
    expect.data_rule = ReplyExpectation::Data::kPattern;
    expect.data = seen.pattern;
  }
  return expect;
}

void PlanRecorder::WriteStep(const PlanStep& step, const std::string& indent, std::string& out) const {
  const Seen& seen = steps_[step.id];
  if (step.kind == PlanStep::Kind::kDelay) {
    out += indent + FormatPlanStep(step, step.expect) + "\n";
    return;
  }
  if (!seen.ran || !seen.answered) {
    out += indent + (seen.ran ? "# no reply while recording:\n" : "# not run while recording:\n");
    out += indent + FormatPlanStep(step, step.expect) + "\n";
    return;
  }
  if (seen.codes_vary) out += indent + "# the error code varied from run to run\n";
  if (seen.data_varies) out += indent + "# the reply data varied from run to run\n";
  PlanStep recorded = step;
  if (step.kind == PlanStep::Kind::kSign || step.kind == PlanStep::Kind::kBitmap || step.kind == PlanStep::Kind::kBatch)
    recorded.files.Edit().written = PathFrom(plan_directory_, step.text.str());
  if (step.kind == PlanStep::Kind::kZReport && !step.zreport().a_file.empty())
    recorded.files.Edit().zreport.a_file = PathFrom(plan_directory_, step.zreport().a_file);
  if (step.kind == PlanStep::Kind::kZReport) {
    ZReportCheck& zreport = recorded.files.Edit().zreport;
    zreport.lines = seen.lines_vary || seen.rejected ? std::nullopt : std::optional<size_t>(seen.report_lines);
    zreport.sha1.clear();
  }
  out += indent + FormatPlanStep(recorded, Expectation(step, seen)) + "\n";
}

void PlanRecorder::WriteNodes(const std::vector<PlanNode>& nodes, int depth, std::string& out) const {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  for (const PlanNode& node : nodes) {
    if (!node.is_block()) {
      WriteStep(node.step, indent, out);
      continue;
    }
    out += indent + ".repeat " + (node.block->times > 0 ? std::to_string(node.block->times) : FormatDuration(node.block->duration_ms)) + "\n";
    WriteNodes(node.block->children, depth + 1, out);
    out += indent + ".end\n";
  }
}

std::string PlanRecorder::Write(const Plan& plan, const std::vector<std::string>& header,
                                const std::string& plan_directory) const {
  plan_directory_ = plan_directory;
  std::string out;
  for (const std::string& line : header) out += "# " + line + "\n";
  WriteNodes(plan.nodes, 0, out);
  if (!plan.finally_nodes.empty()) {
    out += ".finally\n";
    WriteNodes(plan.finally_nodes, 1, out);
    out += ".end\n";
  }
  return out;
}

}  // namespace veritor
