#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/log.h"

namespace veritor {

// The device's text, and the console's resources, use the Windows Greek
// code page unless the operator chooses another.
inline constexpr unsigned kDefaultCodePage = 1253;

// A single-byte code page: bytes 0x00 to 0x7F are ASCII, 0x80 to 0xFF the
// page's own characters. The protocol code carries the device's bytes as they
// are; only the front ends turn them into characters for the operator, and
// the operator's typed text into bytes, through one of these.
class CodePage {
 public:
  // The page with that number, or nothing when there is no table for it.
  static std::optional<CodePage> Find(unsigned number);
  // "437, 737, ..., 28597", for usage texts.
  static std::string KnownNumbers();

  unsigned number() const { return number_; }

  // Device bytes as UTF-8; a byte the page leaves undefined shows as U+FFFD.
  std::string ToUtf8(std::string_view bytes) const;
  // UTF-8 text as the page's bytes; nothing when a character has no byte in
  // the page, or the text is not UTF-8, with `refused` saying which
  // ("U+263A", "a byte 0xFF that is not UTF-8").
  std::optional<std::string> FromUtf8(std::string_view text, std::string& refused) const;
  // A logged line for display, through VisibleText: the device's bytes
  // through the page, the console's own text (paths, messages) as the UTF-8
  // it is.
  std::string LogLineToUtf8(std::string_view line, LogText origin) const;

 private:
  CodePage(unsigned number, const char16_t* high) : number_(number), high_(high) {}

  unsigned number_;
  const char16_t* high_;  // the characters of bytes 0x80 to 0xFF
};

// UTF-8 text as it may reach a terminal, a log file or the window: control
// characters (C0 but TAB, DEL, C1) and bytes that are no UTF-8 are shown as
// escapes "\x1B", so that a device's bytes never drive the terminal.
std::string VisibleText(std::string_view utf8);

// The page of the command-line option when given (non-zero), else of the
// environment variable's value when set, else the default one. Nothing, with
// `error` saying why, for a number without a table or a value that is no
// number.
std::optional<CodePage> ChooseCodePage(unsigned option, const char* environment_value, std::string& error);

// Typed or command-line request text (UTF-8) as the device's bytes. A
// character the page cannot carry is refused with a log line and nothing is
// to be sent.
std::optional<std::string> EncodeRequest(const CodePage& page, MessageLog& log, std::string_view typed);

}  // namespace veritor
