#include "net/ipv4_text.h"

#include <cstdio>
#include <vector>

namespace veritor {

namespace {

// One part of an address text in C notation: decimal, octal after a leading
// 0, hexadecimal after 0x. False when it is empty, has a stray character or
// passes 32 bits.
bool ParsePart(std::string_view text, uint64_t& value) {
  unsigned base = 10;
  if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
    if (text.empty()) return true;  // "0x" alone reads as 0
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (digit >= base) return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<Ipv4Address> ParseIpv4(std::string_view text) {
  text = TrimBlanks(text);
  std::vector<uint64_t> parts;
  while (true) {
    const size_t dot = text.find('.');
    uint64_t value = 0;
    if (!ParsePart(text.substr(0, dot), value)) return std::nullopt;
    parts.push_back(value);
    if (dot == std::string_view::npos) break;
    if (parts.size() == 4) return std::nullopt;
    text.remove_prefix(dot + 1);
  }
  // The last part fills all the bytes that are left.
  const size_t leading = parts.size() - 1;
  for (size_t i = 0; i < leading; ++i)
    if (parts[i] > 0xFF) return std::nullopt;
  const unsigned last_bits = 32 - 8 * static_cast<unsigned>(leading);
  if (last_bits < 32 && parts.back() >= (uint64_t{1} << last_bits)) return std::nullopt;
  uint64_t address = 0;
  for (size_t i = 0; i < leading; ++i) address |= parts[i] << (24 - 8 * i);
  return static_cast<Ipv4Address>(address | parts.back());
}

const char* WhyNotADeviceAddress(Ipv4Address address) {
  if (address == kBroadcastAddress) return "the broadcast address, which reaches every device";
  if ((address >> 24) == 0) return "an address of this network (0.x.x.x), which names no device";
  return nullptr;
}

std::string FormatIpv4(Ipv4Address address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                address & 0xFF);
  return text;
}

}  // namespace veritor
