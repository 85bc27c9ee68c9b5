#pragma once

#include <cstdarg>
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
  // The same for a text that carries the device's bytes (a request as sent,
  // a reply): the log shows it through the device's code page.
  int LogDevice(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  int Log(LogText origin, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

  LogSink& sink_;
  std::string buffer_;
};

}  // namespace veritor
