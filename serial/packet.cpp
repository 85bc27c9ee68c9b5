#include "serial/packet.h"

#include <cstdio>

namespace veritor {

namespace {

uint8_t ByteSum(std::string_view bytes) {
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return sum;
}

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
  if (body.size() < kMinReplyBody) return false;
  const size_t digits = body.size() - 2;
  const uint8_t stated = static_cast<uint8_t>((static_cast<uint8_t>(body[digits]) - '0') * 10 +
                                              (static_cast<uint8_t>(body[digits + 1]) - '0'));
  if (stated != ByteSum(body.substr(0, digits)) % 100u) return false;
  text.assign(body.substr(0, body.size() - 3));
  return true;
}

}  // namespace veritor
