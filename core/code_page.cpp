#include "core/code_page.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace veritor {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct PageTable {
  unsigned number;
  const char16_t* high;
};

#include "core/code_page_tables.inc"

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The character that starts at `at`, which moves past it; nothing when the
// bytes there are no well-formed UTF-8 (overlong forms and surrogates too).
std::optional<char32_t> NextUtf8(std::string_view text, size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 1;
  char32_t c = lead;
  char32_t smallest = 0;
  if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, smallest = 0x10000;
  } else if (lead >= 0xE0) {
    length = 3, c = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0x80) {
    return std::nullopt;
  }
  if (lead > 0xF4 || at + length > text.size()) return std::nullopt;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = c << 6 | (next & 0x3F);
  }
  if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  at += length;
  return c;
}

// C0 but TAB, DEL and C1: what a terminal would obey rather than show.
bool IsControl(char32_t c) { return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F); }

void AppendEscape(std::string& out, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", value);
  out += text;
}

std::string CharacterName(char32_t c) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
  return name;
}

}  // namespace

std::optional<CodePage> CodePage::Find(unsigned number) {
  for (const PageTable& table : kPageTables)
    if (table.number == number) return CodePage(table.number, table.high);
  return std::nullopt;
}

std::string CodePage::KnownNumbers() {
  std::string numbers;
  for (const PageTable& table : kPageTables) numbers += (numbers.empty() ? "" : ", ") + std::to_string(table.number);
  return numbers;
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size());
  for (char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    AppendUtf8(out, value < 0x80 ? value : high_[value - 0x80]);
  }
  return out;
}

std::optional<std::string> CodePage::FromUtf8(std::string_view text, std::string& refused) const {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    const std::optional<char32_t> c = NextUtf8(text, at);
    if (!c) {
      char what[48];
      std::snprintf(what, sizeof what, "a byte 0x%02X that is not UTF-8", static_cast<unsigned char>(text[start]));
      refused = what;
      return std::nullopt;
    }
    if (*c < 0x80) {
      bytes += static_cast<char>(*c);
      continue;
    }
    size_t found = 0x80;
    if (*c != kReplacement)
      for (found = 0; found < 0x80 && high_[found] != *c;) ++found;
    if (found == 0x80) {
      refused = CharacterName(*c);
      return std::nullopt;
    }
    bytes += static_cast<char>(0x80 + found);
  }
  return bytes;
}

std::string CodePage::LogLineToUtf8(std::string_view line, LogText origin) const {
  return VisibleText(origin == LogText::kDevice ? ToUtf8(line) : std::string(line));
}

std::string VisibleText(std::string_view utf8) {
  const auto plain = [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\t'; };
  if (std::all_of(utf8.begin(), utf8.end(), plain)) return std::string(utf8);
  std::string out;
  out.reserve(utf8.size() + 8);
  for (size_t at = 0; at < utf8.size();) {
    const size_t start = at;
    const std::optional<char32_t> c = NextUtf8(utf8, at);
    if (!c) {
      AppendEscape(out, static_cast<unsigned char>(utf8[at++]));
    } else if (IsControl(*c)) {
      AppendEscape(out, static_cast<unsigned>(*c));
    } else {
      out.append(utf8.substr(start, at - start));
    }
  }
  return out;
}

std::optional<CodePage> ChooseCodePage(unsigned option, const char* environment_value, std::string& error) {
  unsigned number = option != 0 ? option : kDefaultCodePage;
  if (option == 0 && environment_value != nullptr && *environment_value != '\0') {
    char* end = nullptr;
    const unsigned long value = std::strtoul(environment_value, &end, 10);
    if (*end != '\0' || value > 65535) {
      error = std::string("VERITOR_CODE_PAGE '") + environment_value + "' is not a code page number";
      return std::nullopt;
    }
    number = static_cast<unsigned>(value);
  }
  std::optional<CodePage> page = CodePage::Find(number);
  if (!page) error = "no table for code page " + std::to_string(number) + " (known: " + CodePage::KnownNumbers() + ")";
  return page;
}

std::optional<std::string> EncodeRequest(const CodePage& page, MessageLog& log, std::string_view typed) {
  std::string refused;
  std::optional<std::string> request = page.FromUtf8(typed, refused);
  if (!request)
    log.LogMessage("Request not sent: %s cannot be written in code page %u", refused.c_str(), page.number());
  return request;
}

}  // namespace veritor
