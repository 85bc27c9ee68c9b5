#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veritor {

// Control bytes of the serial packet protocol.
enum ControlByte : uint8_t {
  kStx = 0x02,
  kEtx = 0x03,
  kEnq = 0x05,
  kAck = 0x06,
  kNak = 0x15,
  kCan = 0x18,
};

// The most bytes kept between STX and ETX of a received packet.
inline constexpr size_t kMaxPacketBody = 2047;
// The fewest bytes between STX and ETX of a reply: the 8-character status part
// and the "/" with two checksum digits.
inline constexpr size_t kMinReplyBody = 11;

// Sum of the text's bytes and the "/" after it, in 8 bits, modulo 100.
unsigned PacketChecksum(std::string_view text);

// STX, the text, "/", the checksum as two decimal digits, ETX.
std::string BuildPacket(std::string_view text);

// The frame text of a received packet body (what came between STX and ETX),
// or false when it is too short, does not end in "/" and two decimal digits,
// or its checksum does not match.
bool ExtractPacketText(std::string_view body, std::string& text);
// The same for a body of any length: the text before "/" and the two digits.
bool SplitCheckedBody(std::string_view body, std::string& text);

}  // namespace veritor
