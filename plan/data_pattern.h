#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace veritor {

// A plan's pattern for reply data: a regular expression that must match the
// whole data, matched in time linear in the data whatever the pattern, so
// that no pattern hangs or exhausts the stack on a long reply. Pattern and
// data are bytes (the device's code page, one byte a character). The
// patterns plans hold are nearly all made of literal characters, ".",
// classes such as [0-9A-F], \d, \w, \s and \xHH, each with an optional *, +,
// ? or {n,m}; those are matched here in one pass a piece (compiling a
// general matcher costs some 20 microseconds a pattern, which a plan of
// thousands of steps would feel). Anything else (groups, alternation,
// anchors, lazy quantifiers...) goes to RE2, in its syntax (much as
// ECMAScript's, without backreferences or lookaround).
class DataPattern {
 public:
  DataPattern();
  ~DataPattern();
  // Nothing when the text is not a valid regular expression.
  static std::shared_ptr<const DataPattern> Compile(const std::string& source);

  bool Matches(std::string_view data) const;
  bool UsesRe2() const { return regex_ != nullptr; }

 private:
  // A set of bytes taken between `min` and `max` times.
  struct Piece {
    std::bitset<256> bytes;
    uint32_t min = 1;
    uint32_t max = 1;
  };
  static bool ParseSimple(std::string_view source, std::vector<Piece>& pieces);
  bool MatchesFixedLength(std::string_view data) const;

  std::vector<Piece> pieces_;
  std::optional<size_t> fixed_length_;
  std::unique_ptr<const re2::RE2> regex_;
};

}  // namespace veritor
