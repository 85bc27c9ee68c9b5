#include "plan/plan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <unordered_map>

#include "core/batch.h"
#include "core/code_page.h"

namespace veritor {

namespace {

constexpr uint32_t kMaxDurationMs = 0xFFFFFFFFu / 2;  // the tick count's half range: about 24 days
constexpr uint64_t kMaxRepeat = 1000000000;
constexpr size_t kMaxNesting = 16;

// Reads one line of a plan piece by piece: words, quoted texts, key=value.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text, const CodePage* page = nullptr) : text_(text), page_(page) {}

  void SkipSpaces() {
    while (position_ < text_.size() && text_[position_] == ' ') ++position_;
  }
  bool AtEnd() {
    SkipSpaces();
    return position_ >= text_.size();
  }
  // At the end of the line, or of what comes before a " #" comment.
  bool Done() { return AtEnd() || Peek('#'); }
  bool Peek(char c) const { return position_ < text_.size() && text_[position_] == c; }
  bool Take(char c) {
    if (!Peek(c)) return false;
    ++position_;
    return true;
  }
  // Letters, digits and "_-.": a key or a directive's name.
  std::string Name() {
    const size_t start = position_;
    while (position_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[position_])) ||
                                        text_[position_] == '_' || text_[position_] == '-' ||
                                        text_[position_] == '.'))
      ++position_;
    return std::string(text_.substr(start, position_ - start));
  }
  // A quoted text, or a bare one up to the next blank.
  std::optional<std::string> Value() {
    if (Peek('"')) return Quoted(false);
    const size_t start = position_;
    while (position_ < text_.size() && text_[position_] != ' ') ++position_;
    if (start == position_) return std::nullopt;
    return std::string(text_.substr(start, position_ - start));
  }
  // As Value, for text that goes to or comes from the device: the plan's
  // UTF-8 as the code page's bytes (\xHH escapes are bytes already).
  std::optional<std::string> DeviceText() {
    if (Peek('"')) return Quoted(true);
    const auto value = Value();
    if (!value) return std::nullopt;
    return Encode(*value);
  }
  std::string_view Rest() const { return text_.substr(std::min(position_, text_.size())); }
  // Why the last text could not be written in the code page ("" when it could).
  const std::string& EncodeError() const { return encode_error_; }

  // UTF-8 text as the code page's bytes; nothing (with EncodeError) when a
  // character has no byte there. Without a page, the text as it stands.
  std::optional<std::string> Encode(std::string_view text) {
    if (page_ == nullptr) return std::string(text);
    std::string refused;
    auto bytes = page_->FromUtf8(text, refused);
    if (!bytes) encode_error_ = refused + " cannot be written in code page " + std::to_string(page_->number());
    return bytes;
  }

 private:
  // \" a quote, \\ a backslash, \xHH a byte; any other backslash stays as
  // written, so that regular expressions read as they are meant.
  std::optional<std::string> Quoted(bool device_text) {
    ++position_;
    std::string out, run;  // `run`: the text since the last \xHH, still UTF-8
    const auto flush = [&] {
      const auto bytes = device_text ? Encode(run) : std::optional<std::string>(run);
      run.clear();
      if (!bytes) return false;
      out += *bytes;
      return true;
    };
    while (position_ < text_.size()) {
      const char c = text_[position_++];
      if (c == '"') return flush() ? std::optional<std::string>(out) : std::nullopt;
      if (c != '\\' || position_ >= text_.size()) {
        run += c;
        continue;
      }
      const char next = text_[position_];
      if (next == '"' || next == '\\') {
        run += next;
        ++position_;
      } else if (next == 'x' && position_ + 2 < text_.size() && IsHex(text_[position_ + 1]) &&
                 IsHex(text_[position_ + 2])) {
        if (!flush()) return std::nullopt;
        out += static_cast<char>(std::stoi(std::string(text_.substr(position_ + 1, 2)), nullptr, 16));
        position_ += 3;
      } else {
        run += '\\';
      }
    }
    return std::nullopt;  // no closing quote
  }
  static bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

  std::string_view text_;
  const CodePage* page_;
  size_t position_ = 0;
  std::string encode_error_;
};

std::optional<uint64_t> ParseCount(const std::string& text, uint64_t max) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const uint64_t value = std::stoull(text);
  if (value > max) return std::nullopt;
  return value;
}

// "250ms", "2s", "10m", "1h"; a bare number counts milliseconds.
std::optional<uint32_t> ParseDuration(const std::string& text) {
  const size_t digits = text.find_first_not_of("0123456789");
  if (digits == 0 || digits > 10) return std::nullopt;
  const std::string unit = digits == std::string::npos ? "ms" : text.substr(digits);
  uint64_t scale = 0;
  if (unit == "ms") scale = 1;
  if (unit == "s") scale = 1000;
  if (unit == "m") scale = 60000;
  if (unit == "h") scale = 3600000;
  if (scale == 0) return std::nullopt;
  const uint64_t ms = std::stoull(text.substr(0, digits)) * scale;
  if (ms > kMaxDurationMs) return std::nullopt;
  return static_cast<uint32_t>(ms);
}

// Two hex digits for the exact byte, or eight of 0, 1 and x, the top bit first.
std::optional<StatusBits> ParseStatusBits(const std::string& text) {
  StatusBits bits;
  if (text.size() == 2) {
    const int value = std::isxdigit(static_cast<unsigned char>(text[0])) &&
                              std::isxdigit(static_cast<unsigned char>(text[1]))
                          ? std::stoi(text, nullptr, 16)
                          : -1;
    if (value < 0) return std::nullopt;
    return StatusBits{static_cast<uint8_t>(value), 0xFF};
  }
  if (text.size() != 8) return std::nullopt;
  for (size_t i = 0; i < 8; ++i) {
    const auto bit = static_cast<uint8_t>(0x80 >> i);
    if (text[i] == '1') bits.value |= bit;
    if (text[i] == '0' || text[i] == '1') bits.mask |= bit;
    else if (text[i] != 'x' && text[i] != 'X') return std::nullopt;
  }
  return bits;
}

// The length of the UTF-8 sequence at `at`, or 0 when none starts there
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

// Empty when the line is text a plan may hold, else why not.
std::string TextProblem(std::string_view line) {
  for (size_t at = 0; at < line.size();) {
    if (line[at] == '\0') return "a NUL byte in column " + std::to_string(at + 1) + ": a plan is text";
    const size_t length = Utf8SequenceLength(line, at);
    if (length == 0) return "not UTF-8 text (byte " + std::to_string(at + 1) + ")";
    at += length;
  }
  return {};
}

bool IsHexText(const std::string& text) {
  return text.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

class PlanParser {
 public:
  PlanParser(const std::string& base_directory, const std::string& source, const CodePage* page, std::string& error)
      : base_(base_directory), source_(source), page_(page), error_(error) {}

  std::optional<Plan> Parse(std::string_view text) {
    // No more nodes than lines: the reservation spares the copies of a growing
    // plan, and the pages it never fills are never touched.
    plan_.nodes.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    std::vector<std::vector<PlanNode>*> open = {&plan_.nodes};
    std::vector<PlanNode*> blocks;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++line_;
      const std::string_view raw = text.substr(start, end - start);
      if (const std::string problem = TextProblem(raw); !problem.empty()) return Fail(line_, problem);
      const std::string line = CleanLine(raw);
      start = end + 1;
      if (!ParseLine(line, open, blocks)) return std::nullopt;
    }
    if (!blocks.empty())
      return Fail(blocks.back()->block->line, blocks.back() == &finally_ ? ".finally without .end" : ".repeat without .end");
    if (plan_.step_count == 0) return Fail(line_ == 0 ? 1 : line_, "a plan with no steps");
    return std::move(plan_);
  }

 private:
  // Control bytes go, as in a batch file, but a TAB counts as a blank.
  static std::string CleanLine(std::string_view raw) {
    std::string line;
    for (char c : raw) {
      if (c == '\t') line += ' ';
      else if (static_cast<unsigned char>(c) >= 0x20) line += c;
    }
    const size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : line.substr(first);
  }

  std::nullopt_t Fail(unsigned line, const std::string& why) {
    error_ = (source_.empty() ? "line " : source_ + ":") + std::to_string(line) + ": " + why;
    return std::nullopt;
  }
  bool Failed(const std::string& why) {
    Fail(line_, why);
    return false;
  }

  bool ParseLine(const std::string& line, std::vector<std::vector<PlanNode>*>& open,
                 std::vector<PlanNode*>& blocks) {
    if (line.empty() || line[0] == '#') return true;
    if (finally_done_) return Failed("the .finally block ends the plan: nothing may follow it");
    if (line[0] != '.') return AddRequest(line, *open.back(), blocks);
    LineCursor cursor(line, page_);
    cursor.Take('.');
    const std::string name = cursor.Name();
    if (name == "repeat") return OpenBlock(cursor, open, blocks);
    if (name == "finally") {
      if (!cursor.Done()) return Failed("nothing may follow .finally");
      if (!blocks.empty()) return Failed(".finally stands outside every .repeat block");
      finally_.block.Edit().line = line_;
      blocks.push_back(&finally_);
      open.push_back(&plan_.finally_nodes);
      return true;
    }
    if (name == "end") {
      if (!cursor.Done()) return Failed("nothing may follow .end");
      if (blocks.empty()) return Failed(".end without .repeat");
      const bool finally = blocks.back() == &finally_;
      if (open.back()->empty()) return Failed(finally ? "an empty .finally block" : "an empty .repeat block");
      finally_done_ = finally;
      blocks.pop_back();
      open.pop_back();
      return true;
    }
    PlanStep step = NewStep(blocks);
    if (name == "delay") {
      step.kind = PlanStep::Kind::kDelay;
      const auto value = cursor.AtEnd() ? std::nullopt : cursor.Value();
      const auto ms = value ? ParseDuration(*value) : std::nullopt;
      if (!ms || !cursor.Done()) return Failed(".delay takes a time such as 250ms, 2s or 1m");
      step.delay_ms = *ms;
      return Add(std::move(step), *open.back());
    }
    if (name == "send") {
      cursor.SkipSpaces();
      if (!cursor.Peek('"')) return Failed(".send takes a quoted request");
      const auto text = cursor.DeviceText();
      if (!text) return Failed(cursor.EncodeError().empty() ? "a quote is not closed" : cursor.EncodeError());
      step.text = *text;
    } else if (name == "sign" || name == "bmp" || name == "batch") {
      step.kind = name == "sign" ? PlanStep::Kind::kSign
                  : name == "bmp" ? PlanStep::Kind::kBitmap
                                  : PlanStep::Kind::kBatch;
      const auto path = cursor.AtEnd() ? std::nullopt : cursor.Value();
      if (!path || path->empty()) return Failed("." + name + " takes a file name");
      step.files.Edit().written = *path;
      step.text = Resolve(*path);
    } else if (name == "zreport") {
      step.kind = PlanStep::Kind::kZReport;
      if (!ParseZReportOptions(cursor, step.files.Edit().zreport)) return false;
    } else {
      return Failed("unknown directive ." + name);
    }
    if (!ParseArrow(cursor, step.expect)) return false;
    return Add(std::move(step), *open.back());
  }

  bool OpenBlock(LineCursor& cursor, std::vector<std::vector<PlanNode>*>& open, std::vector<PlanNode*>& blocks) {
    const auto value = cursor.AtEnd() ? std::nullopt : cursor.Value();
    if (!value || !cursor.Done()) return Failed(".repeat takes a count or a time such as 10m");
    PlanNode node;
    PlanBlock& block = node.block.Edit();
    block.line = line_;
    if (const auto times = ParseCount(*value, kMaxRepeat); times && *times > 0) {
      block.times = *times;
    } else if (const auto ms = ParseDuration(*value); ms && value->find_first_not_of("0123456789") != std::string::npos &&
                                                       *ms > 0) {
      block.duration_ms = *ms;
    } else {
      return Failed(".repeat takes a count or a time such as 10m, not " + QuoteText(*value));
    }
    if (blocks.size() >= kMaxNesting) return Failed("repeat blocks nest too deep");
    open.back()->push_back(std::move(node));
    blocks.push_back(&open.back()->back());
    open.push_back(&blocks.back()->block.Edit().children);
    return true;
  }

  // A request up to " =>", or the whole line.
  bool AddRequest(const std::string& line, std::vector<PlanNode>& nodes, const std::vector<PlanNode*>& blocks) {
    PlanStep step = NewStep(blocks);
    size_t arrow = line.find(" =>");
    while (arrow != std::string::npos && arrow + 3 < line.size() && line[arrow + 3] != ' ')
      arrow = line.find(" =>", arrow + 1);
    std::string text = line.substr(0, arrow);
    if (arrow != std::string::npos) text.erase(text.find_last_not_of(' ') + 1);
    LineCursor request(text, page_);
    auto bytes = request.Encode(text);
    if (!bytes) return Failed(request.EncodeError());
    if (bytes->size() > kMaxBatchLine) bytes->resize(kMaxBatchLine);
    step.text = *bytes;
    if (arrow != std::string::npos) {
      LineCursor cursor(std::string_view(line).substr(arrow), page_);
      if (!ParseArrow(cursor, step.expect)) return false;
    }
    return Add(std::move(step), nodes);
  }

  PlanStep NewStep(const std::vector<PlanNode*>& blocks) {
    PlanStep step;
    step.line = line_;
    step.repeated = blocks.size() > (!blocks.empty() && blocks.front() == &finally_ ? 1u : 0u);
    return step;
  }

  bool Add(PlanStep step, std::vector<PlanNode>& nodes) {
    step.id = static_cast<uint32_t>(plan_.step_count++);
    PlanNode node;
    node.step = std::move(step);
    nodes.push_back(std::move(node));
    return true;
  }

  std::string Resolve(const std::string& path) const {
    return path[0] == '/' || base_.empty() ? path : base_ + path;
  }

  // What follows " #" after the expectations is a comment.
  bool ParseArrow(LineCursor& cursor, ReplyExpectation& expect) {
    if (cursor.Done()) return true;
    if (!cursor.Take('=') || !cursor.Take('>')) return Failed("expected '=>' before '" + std::string(cursor.Rest()) + "'");
    return ParseExpectation(cursor, expect);
  }

  bool ParseExpectation(LineCursor& cursor, ReplyExpectation& expect) {
    bool first = true;
    while (!cursor.Done()) {
      const std::string key = cursor.Name();
      if (first && (key == "any" || (key.size() == 2 && IsHexText(key)))) {
        expect.error_code = key == "any" ? std::nullopt : std::optional<uint8_t>(static_cast<uint8_t>(std::stoi(key, nullptr, 16)));
        first = false;
        continue;
      }
      first = false;
      const bool pattern = cursor.Peek('~');
      if (key.empty() || !(cursor.Take('=') || cursor.Take('~')))
        return Failed("expected an error code, data=, data~, device=, function= or within=, not '" + key +
                      std::string(cursor.Rest().substr(0, cursor.Rest().find(' '))) + "'");
      const auto value = key == "data" ? cursor.DeviceText() : cursor.Value();
      if (!value && !cursor.EncodeError().empty()) return Failed(cursor.EncodeError());
      if (!value) return Failed("no value for " + key + " (or a quote is not closed)");
      if (!ApplyExpectation(key, pattern, *value, expect)) return false;
    }
    return true;
  }

  bool ApplyExpectation(const std::string& key, bool pattern, const std::string& value, ReplyExpectation& expect) {
    if (key == "data") {
      expect.data = value;
      expect.data_rule = pattern ? ReplyExpectation::Data::kPattern : ReplyExpectation::Data::kExact;
      if (pattern && !(expect.pattern = Pattern(value))) return Failed("not a regular expression: " + value);
      return true;
    }
    if (pattern) return Failed(key + " takes '=', not '~'");
    if (key == "device" || key == "function") {
      const auto bits = ParseStatusBits(value);
      if (!bits) return Failed(key + "= takes two hex digits or eight of 0, 1 and x");
      (key == "device" ? expect.device : expect.function) = *bits;
      return true;
    }
    if (key == "within") {
      expect.time_limit_ms = ParseDuration(value);
      return expect.time_limit_ms ? true : Failed("within= takes a time such as 500ms or 2s");
    }
    return Failed("unknown expectation " + key);
  }

  // answer= must be written: a Z report closes the fiscal day for good.
  bool ParseZReportOptions(LineCursor& cursor, ZReportCheck& check) {
    bool answered = false;
    while (!cursor.Done() && !cursor.Peek('=')) {
      const std::string key = cursor.Name();
      if (key.empty() || !cursor.Take('=')) return Failed(".zreport takes answer=, lines=, sha1=, afile= and max=");
      const auto value = cursor.Value();
      if (!value) return Failed("no value for " + key);
      if (key == "answer" && (*value == "yes" || *value == "no")) {
        check.answer = *value == "yes";
        answered = true;
      } else if (key == "lines" && ParseCount(*value, kMaxRepeat)) {
        check.lines = *ParseCount(*value, kMaxRepeat);
      } else if (key == "max" && ParseCount(*value, kMaxRepeat).value_or(0) > 0) {
        check.max_lines = *ParseCount(*value, kMaxRepeat);
      } else if (key == "sha1" && value->size() == 40 && IsHexText(*value)) {
        check.sha1 = *value;
        for (char& c : check.sha1) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      } else if (key == "afile" && !value->empty()) {
        check.a_file = Resolve(*value);
      } else {
        return Failed("bad .zreport option " + key + "=" + *value);
      }
    }
    return answered ? true : Failed(".zreport needs answer=yes or answer=no (the report closes the fiscal day)");
  }

  // A pattern is compiled once however many lines hold it.
  std::shared_ptr<const DataPattern> Pattern(const std::string& text) {
    std::shared_ptr<const DataPattern>& compiled = patterns_[text];
    if (!compiled) compiled = CompilePattern(text);
    return compiled;
  }

  const std::string& base_;
  const std::string& source_;
  const CodePage* page_;
  std::unordered_map<std::string, std::shared_ptr<const DataPattern>> patterns_;
  std::string& error_;
  Plan plan_;
  PlanNode finally_;  // stands for the .finally block among the open blocks
  bool finally_done_ = false;
  unsigned line_ = 0;
};

uint64_t Executions(const std::vector<PlanNode>& nodes) {
  uint64_t total = 0;
  for (const PlanNode& node : nodes) {
    if (!node.is_block()) {
      total += node.step.kind == PlanStep::Kind::kDelay ? 0 : 1;
      continue;
    }
    const PlanBlock& block = *node.block;
    if (block.duration_ms > 0) return 0;
    const uint64_t inner = Executions(block.children);
    if (inner == 0 && !block.children.empty()) {
      bool only_delays = true;
      for (const PlanNode& child : block.children)
        only_delays = only_delays && !child.is_block() && child.step.kind == PlanStep::Kind::kDelay;
      if (!only_delays) return 0;
    }
    total += inner * block.times;
  }
  return total;
}

bool NeedsQuotes(const std::string& text) {
  if (text.empty() || text[0] == '#' || text[0] == '.' || text[0] == ' ' || text.back() == ' ') return true;
  if (text.find(" =>") != std::string::npos) return true;
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return true;
  return false;
}

std::string PathText(const std::string& path) {
  return path.find_first_of(" \"") != std::string::npos || path.empty() ? QuoteText(path) : path;
}

std::string BitsText(const StatusBits& bits) {
  std::string text;
  for (int i = 7; i >= 0; --i)
    text += (bits.mask >> i & 1) ? ((bits.value >> i & 1) ? '1' : '0') : 'x';
  return text;
}

}  // namespace

std::optional<Plan> ParsePlan(std::string_view text, const std::string& base_directory, std::string& error,
                              const CodePage* page) {
  return PlanParser(base_directory, "", page, error).Parse(text);
}

namespace {

void VisitSteps(const std::vector<PlanNode>& nodes, const std::function<void(const PlanStep&)>& visit) {
  for (const PlanNode& node : nodes) {
    if (node.is_block()) VisitSteps(node.block->children, visit);
    else visit(node.step);
  }
}

}  // namespace

void ForEachStep(const Plan& plan, const std::function<void(const PlanStep&)>& visit) {
  VisitSteps(plan.nodes, visit);
  VisitSteps(plan.finally_nodes, visit);
}

std::optional<Plan> LoadPlanFile(const std::string& path, std::string& error, const CodePage* page) {
  const FileHandle file = OpenForReading(path);
  if (!file) {
    error = "cannot open '" + path + "'";
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  size_t read = 0;
  while ((read = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, read);
  if (std::ferror(file.get())) {
    error = "cannot read '" + path + "'";
    return std::nullopt;
  }
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return PlanParser(base, path, page, error).Parse(text);
}

uint64_t PlannedExecutions(const Plan& plan) { return Executions(plan.nodes); }

namespace {

// `bytes` between quotes: a quote always takes a backslash, a backslash only
// when `escape_backslash` (a pattern keeps its own). Through the page when one
// is given (control characters then as \xHH escapes); without one, every byte
// outside 0x20-0x7E as \xHH, so that a NUL cannot cut the line.
std::string Quoted(std::string_view bytes, const CodePage* page, bool escape_backslash) {
  const auto takes_backslash = [escape_backslash](char c) { return c == '"' || (escape_backslash && c == '\\'); };
  if (page != nullptr) {
    std::string text;
    for (char c : page->ToUtf8(bytes)) {
      if (takes_backslash(c)) text += '\\';
      text += c;
    }
    return "\"" + VisibleText(text) + "\"";
  }
  std::string out = "\"";
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (takes_backslash(c)) {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string QuoteText(std::string_view text) { return Quoted(text, nullptr, true); }

std::string FormatDuration(uint32_t ms) {
  if (ms != 0 && ms % 3600000 == 0) return std::to_string(ms / 3600000) + "h";
  if (ms != 0 && ms % 60000 == 0) return std::to_string(ms / 60000) + "m";
  if (ms != 0 && ms % 1000 == 0) return std::to_string(ms / 1000) + "s";
  return std::to_string(ms) + "ms";
}

std::string QuoteDeviceText(std::string_view bytes, const CodePage* page) { return Quoted(bytes, page, true); }

std::string FormatExpectation(const ReplyExpectation& expect, const CodePage* page) {
  std::string text;
  if (expect.error_code) {
    char code[4];
    std::snprintf(code, sizeof code, "%02X", *expect.error_code & 0xFF);
    text = code;
  } else {
    text = "any";
  }
  if (expect.data_rule == ReplyExpectation::Data::kExact) text += " data=" + QuoteDeviceText(expect.data.view(), page);
  // A pattern is written as it stands: only a quote takes a backslash.
  if (expect.data_rule == ReplyExpectation::Data::kPattern) text += " data~" + Quoted(expect.data.view(), page, false);
  if (expect.device.mask != 0) text += " device=" + BitsText(expect.device);
  if (expect.function.mask != 0) text += " function=" + BitsText(expect.function);
  if (expect.time_limit_ms) text += " within=" + FormatDuration(*expect.time_limit_ms);
  return text;
}

std::string FormatPlanStep(const PlanStep& step, const ReplyExpectation& expect) {
  std::string head;
  switch (step.kind) {
    case PlanStep::Kind::kRequest: head = NeedsQuotes(step.text.str()) ? ".send " + QuoteText(step.text.view()) : step.text.str(); break;
    case PlanStep::Kind::kSign: head = ".sign " + PathText(step.written()); break;
    case PlanStep::Kind::kBitmap: head = ".bmp " + PathText(step.written()); break;
    case PlanStep::Kind::kBatch: head = ".batch " + PathText(step.written()); break;
    case PlanStep::Kind::kDelay: return ".delay " + FormatDuration(step.delay_ms);
    case PlanStep::Kind::kZReport: {
      const ZReportCheck& check = step.zreport();
      head = std::string(".zreport answer=") + (check.answer ? "yes" : "no");
      if (check.lines) head += " lines=" + std::to_string(*check.lines);
      if (!check.sha1.empty()) head += " sha1=" + check.sha1;
      if (!check.a_file.empty()) head += " afile=" + PathText(check.a_file);
      if (check.max_lines != ZReportCheck{}.max_lines) head += " max=" + std::to_string(check.max_lines);
      break;
    }
  }
  const std::string tail = FormatExpectation(expect);
  return tail == "00" ? head : head + " => " + tail;
}

}  // namespace veritor
