#include "core/log.h"

#include <cstdarg>
#include <cstdio>

namespace veritor {

int MessageLog::LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = Log(LogText::kHost, format, args);
  va_end(args);
  return length;
}

int MessageLog::LogDevice(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = Log(LogText::kDevice, format, args);
  va_end(args);
  return length;
}

int MessageLog::Log(LogText origin, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  if (length < 0) {
    va_end(again);
    return length;
  }
  buffer_.resize(static_cast<size_t>(length) + 1);
  std::vsnprintf(buffer_.data(), buffer_.size(), format, again);
  va_end(again);
  buffer_.resize(static_cast<size_t>(length));
  sink_.AppendLogText(buffer_, origin);
  return length;
}

}  // namespace veritor
