#include "serial/packet.h"

#include <cstdio>

namespace veritor {

namespace {

uint8_t ByteSum(std::string_view bytes) {
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return sum;
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

unsigned PacketChecksum(std::string_view text) {
  return static_cast<uint8_t>(ByteSum(text) + '/') % 100u;
}

std::string BuildPacket(std::string_view text) {
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02u", PacketChecksum(text));
  std::string packet;
  packet.reserve(text.size() + 5);
  packet += static_cast<char>(kStx);
  packet += text;
  packet += '/';
  packet += digits;
  packet += static_cast<char>(kEtx);
  return packet;
}

bool ExtractPacketText(std::string_view body, std::string& text) {
  return body.size() >= kMinReplyBody && SplitCheckedBody(body, text);
}

bool SplitCheckedBody(std::string_view body, std::string& text) {
  if (body.size() < 3) return false;
  // A device always ends the body with "/" and two decimal digits; anything
  // else there is line damage, even when the sum happens to come out right.
  const size_t slash = body.size() - 3;
  if (body[slash] != '/' || !IsDecimalDigit(body[slash + 1]) || !IsDecimalDigit(body[slash + 2])) return false;
  const auto stated = static_cast<unsigned>((body[slash + 1] - '0') * 10 + (body[slash + 2] - '0'));
  if (stated != PacketChecksum(body.substr(0, slash))) return false;
  text.assign(body.substr(0, slash));
  return true;
}

}  // namespace veritor
