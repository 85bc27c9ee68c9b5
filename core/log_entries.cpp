#include "core/log_entries.h"

namespace veritor {

namespace {

// The visible part of one line: up to its first TAB or NUL, and nothing at
// all when that part is longer than a column can show.
std::string VisiblePart(std::string_view line) {
  const size_t end = line.find_first_of(std::string_view("\t\0", 2));
  const std::string_view shown = line.substr(0, end);
  if (shown.size() > kMaxLogColumnText) return {};
  return std::string(shown);
}

}  // namespace

std::vector<std::string> VisibleLogEntries(std::string_view text) {
  // A NUL ends the text as far as the log is concerned.
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> entries;
  size_t start = 0;
  while (true) {
    const size_t newline = text.find('\n', start);
    entries.push_back(VisiblePart(text.substr(start, newline == std::string_view::npos ? newline : newline - start)));
    if (newline == std::string_view::npos || newline + 1 == text.size()) break;
    start = newline + 1;
  }
  return entries;
}

}  // namespace veritor
