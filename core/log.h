#pragma once

#include <string>

#include "platform/ui.h"

namespace veritor {

// printf-style front end of the message log.
class MessageLog {
 public:
  explicit MessageLog(LogSink& sink) : sink_(sink) {}

  // Formats one text and appends it to the log (every LF starts an entry, a
  // TAB ends what an entry shows). Returns the number of characters formatted.
  int LogMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  LogSink& sink_;
  std::string buffer_;
};

}  // namespace veritor
