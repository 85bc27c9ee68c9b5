#include "plan/data_pattern.h"

#include <re2/re2.h>

#include <cctype>
#include <limits>

namespace veritor {

DataPattern::DataPattern() = default;
DataPattern::~DataPattern() = default;

namespace {

constexpr uint32_t kUnbounded = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kMaxCount = 1000000;
// Replies are at most a few KB; a compiled pattern stays far below this.
constexpr int64_t kMaxProgramMemory = 8 << 20;

using ByteSet = std::bitset<256>;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

ByteSet Range(int first, int last) {
  ByteSet set;
  for (int c = first; c <= last; ++c) set.set(static_cast<size_t>(c));
  return set;
}

ByteSet Single(unsigned char c) { return Range(c, c); }

// ECMAScript's "." takes anything but a line end.
ByteSet AnyButLineEnd() {
  ByteSet set;
  set.set();
  set.reset('\n');
  set.reset('\r');
  return set;
}

// Reads the pattern piece by piece; false as soon as it meets a form it
// leaves to RE2.
class SimpleParser {
 public:
  explicit SimpleParser(std::string_view source) : source_(source) {}

  bool AtEnd() const { return at_ >= source_.size(); }

  // One character or escape, or a class; false for anything else.
  bool Atom(ByteSet& set) {
    const char c = source_[at_++];
    switch (c) {
      case '.': set = AnyButLineEnd(); return true;
      case '[': return Class(set);
      case '\\': return Escape(set, false);
      case '(': case ')': case '|': case '^': case '$': case '*': case '+': case '?': case '{': case '}': case ']':
        return false;
      default: set = Single(static_cast<unsigned char>(c)); return true;
    }
  }

  // *, +, ?, {n}, {n,}, {n,m}, or none; false for a lazy or bad one.
  bool Quantifier(uint32_t& min, uint32_t& max) {
    min = max = 1;
    if (AtEnd()) return true;
    const char c = source_[at_];
    if (c == '*' || c == '+' || c == '?') {
      ++at_;
      min = c == '+' ? 1 : 0;
      max = c == '?' ? 1 : kUnbounded;
    } else if (c == '{') {
      ++at_;
      if (!Number(min)) return false;
      max = min;
      if (Take(',')) {
        if (Take('}')) max = kUnbounded;
        else if (!Number(max) || !Take('}')) return false;
      } else if (!Take('}')) {
        return false;
      }
      if (max < min) return false;
    } else {
      return true;
    }
    return AtEnd() || (source_[at_] != '?' && source_[at_] != '*' && source_[at_] != '+' && source_[at_] != '{');
  }

 private:
  bool Take(char c) {
    if (AtEnd() || source_[at_] != c) return false;
    ++at_;
    return true;
  }

  bool Number(uint32_t& value) {
    const size_t start = at_;
    uint64_t number = 0;
    while (!AtEnd() && std::isdigit(static_cast<unsigned char>(source_[at_])) && number <= kMaxCount)
      number = number * 10 + static_cast<uint64_t>(source_[at_++] - '0');
    if (at_ == start || number > kMaxCount) return false;
    value = static_cast<uint32_t>(number);
    return true;
  }

  // After "\": \d \D \w \W \s \S, \xHH, \t \n \r \f \v \0, and any
  // punctuation as itself. In a class, \b is a backspace; outside it is an
  // anchor, left to RE2.
  bool Escape(ByteSet& set, bool in_class) {
    if (AtEnd()) return false;
    const char c = source_[at_++];
    const ByteSet digits = Range('0', '9');
    const ByteSet word = digits | Range('A', 'Z') | Range('a', 'z') | Single('_');
    const ByteSet space = Range('\t', '\r') | Single(' ');
    switch (c) {
      case 'd': set = digits; return true;
      case 'D': set = ~digits; return true;
      case 'w': set = word; return true;
      case 'W': set = ~word; return true;
      case 's': set = space; return true;
      case 'S': set = ~space; return true;
      case 't': set = Single('\t'); return true;
      case 'n': set = Single('\n'); return true;
      case 'r': set = Single('\r'); return true;
      case 'f': set = Single('\f'); return true;
      case 'v': set = Single('\v'); return true;
      case 'b': set = Single('\b'); return in_class;
      case 'x': {
        if (at_ + 2 > source_.size()) return false;
        const int high = HexValue(source_[at_]), low = HexValue(source_[at_ + 1]);
        if (high < 0 || low < 0) return false;
        at_ += 2;
        set = Single(static_cast<unsigned char>(high * 16 + low));
        return true;
      }
      default:
        if (std::isalnum(static_cast<unsigned char>(c))) return false;
        set = Single(static_cast<unsigned char>(c));
        return true;
    }
  }

  // One member of a class: a character or an escape (which may be a set).
  bool ClassMember(ByteSet& set, bool& single, unsigned char& value) {
    if (AtEnd()) return false;
    const char c = source_[at_++];
    if (c == '[') return false;  // [:alpha:] and the like
    if (c != '\\') {
      set = Single(static_cast<unsigned char>(c));
      single = true;
      value = static_cast<unsigned char>(c);
      return true;
    }
    if (!Escape(set, true)) return false;
    single = set.count() == 1;
    for (size_t i = 0; single && i < 256; ++i)
      if (set.test(i)) value = static_cast<unsigned char>(i);
    return true;
  }

  bool Class(ByteSet& set) {
    const bool negated = Take('^');
    set.reset();
    bool first = true;
    while (!AtEnd()) {
      if (source_[at_] == ']' && !first) {
        ++at_;
        if (negated) set.flip();
        return true;
      }
      if (source_[at_] == ']') return false;  // "[]" and "[^]" mean other things in ECMAScript
      first = false;
      ByteSet member;
      bool single = false;
      unsigned char low = 0;
      if (!ClassMember(member, single, low)) return false;
      if (single && at_ + 1 < source_.size() && source_[at_] == '-' && source_[at_ + 1] != ']') {
        ++at_;
        ByteSet upper_set;
        bool upper_single = false;
        unsigned char high = 0;
        if (!ClassMember(upper_set, upper_single, high) || !upper_single || high < low) return false;
        member = Range(low, high);
      }
      set |= member;
    }
    return false;
  }

  std::string_view source_;
  size_t at_ = 0;
};

}  // namespace

bool DataPattern::ParseSimple(std::string_view source, std::vector<Piece>& pieces) {
  SimpleParser parser(source);
  while (!parser.AtEnd()) {
    Piece piece;
    if (!parser.Atom(piece.bytes) || !parser.Quantifier(piece.min, piece.max)) return false;
    pieces.push_back(piece);
  }
  return true;
}

// Most patterns (all that a recording writes) take a fixed number of bytes
// a piece: then the data is checked byte by byte.
bool DataPattern::MatchesFixedLength(std::string_view data) const {
  if (data.size() != *fixed_length_) return false;
  size_t at = 0;
  for (const Piece& piece : pieces_)
    for (uint32_t i = 0; i < piece.min; ++i)
      if (!piece.bytes.test(static_cast<unsigned char>(data[at++]))) return false;
  return true;
}

std::shared_ptr<const DataPattern> DataPattern::Compile(const std::string& source) {
  auto pattern = std::make_shared<DataPattern>();
  if (ParseSimple(source, pattern->pieces_)) {
    size_t length = 0;
    bool fixed = true;
    for (const Piece& piece : pattern->pieces_) {
      fixed = fixed && piece.min == piece.max;
      length += piece.min;
    }
    if (fixed) pattern->fixed_length_ = length;
    return pattern;
  }
  pattern->pieces_.clear();
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);  // bytes of the code page, not UTF-8
  options.set_log_errors(false);
  options.set_max_mem(kMaxProgramMemory);
  auto regex = std::make_unique<const RE2>(source, options);
  if (!regex->ok()) return nullptr;
  pattern->regex_ = std::move(regex);
  return pattern;
}

// The positions the pattern can have reached, piece by piece: from each, a
// piece takes between min and max bytes of its set. Linear in the data's
// length a piece, whatever the pattern.
bool DataPattern::Matches(std::string_view data) const {
  if (regex_) return RE2::FullMatch(re2::StringPiece(data.data(), data.size()), *regex_);
  if (fixed_length_) return MatchesFixedLength(data);
  const size_t n = data.size();
  std::vector<uint8_t> reached(n + 1, 0), next(n + 1, 0);
  std::vector<uint32_t> run(n + 1, 0);
  std::vector<int32_t> marks(n + 2, 0);
  reached[0] = 1;
  for (const Piece& piece : pieces_) {
    // run[i]: how many bytes of the set follow position i.
    run[n] = 0;
    for (size_t i = n; i-- > 0;)
      run[i] = piece.bytes.test(static_cast<unsigned char>(data[i])) ? run[i + 1] + 1 : 0;
    std::fill(marks.begin(), marks.end(), 0);
    bool any = false;
    for (size_t i = 0; i <= n; ++i) {
      if (!reached[i] || run[i] < piece.min) continue;
      const size_t last = i + std::min<size_t>(run[i], piece.max);
      ++marks[i + piece.min];
      --marks[last + 1];
      any = true;
    }
    if (!any) return false;
    int32_t open = 0;
    for (size_t i = 0; i <= n; ++i) next[i] = (open += marks[i]) > 0;
    reached.swap(next);
  }
  return reached[n] != 0;
}

}  // namespace veritor
