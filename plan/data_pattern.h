#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veritor {

// A plan's pattern for reply data: an ECMAScript regular expression that
// must match the whole data. The patterns plans hold are nearly all made of
// literal characters, ".", classes such as [0-9A-F], \d, \w, \s and \xHH,
// each with an optional *, +, ? or {n,m}; those are matched here in one pass
// a piece (std::regex costs several microseconds a match and more to
// compile, which a plan of thousands of steps would feel). Anything else
// (groups, alternation, anchors, lazy quantifiers...) goes to std::regex.
class DataPattern {
 public:
  // Nothing when the text is not a valid regular expression.
  static std::shared_ptr<const DataPattern> Compile(const std::string& source);

  bool Matches(std::string_view data) const;
  bool UsesStdRegex() const { return regex_ != nullptr; }

 private:
  // A set of bytes taken between `min` and `max` times.
  struct Piece {
    std::bitset<256> bytes;
    uint32_t min = 1;
    uint32_t max = 1;
  };
  static bool ParseSimple(std::string_view source, std::vector<Piece>& pieces);
  bool MatchesFixedLength(std::string_view data) const;

  struct StdRegex;
  struct StdRegexDeleter {
    void operator()(const StdRegex* regex) const;
  };

  std::vector<Piece> pieces_;
  std::optional<size_t> fixed_length_;
  std::unique_ptr<const StdRegex, StdRegexDeleter> regex_;
};

}  // namespace veritor
