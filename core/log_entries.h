#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace veritor {

// The longest line a log entry shows; a longer one gives an entry without text.
inline constexpr size_t kMaxLogColumnText = 4090;

// What the message log shows for one logged text, one string per entry, in
// order: every LF starts an entry (a final LF adds none), a TAB or NUL ends the
// visible part of a line, and an over-long line shows nothing.
std::vector<std::string> VisibleLogEntries(std::string_view text);

}  // namespace veritor
