#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veritor {

// SDNP frames: one UDP datagram each, a 12-byte little-endian header and up
// to 500 payload bytes.
inline constexpr uint16_t kSdnpPort = 24222;
inline constexpr size_t kSdnpHeaderSize = 12;
inline constexpr size_t kSdnpMaxFrame = 512;
inline constexpr size_t kSdnpMaxPayload = kSdnpMaxFrame - kSdnpHeaderSize;
inline constexpr uint16_t kSdnpConsoleId = 0xE18F;  // in every frame the console sends
inline constexpr uint16_t kSdnpDeviceId = 0x7A2D;   // in every frame the console accepts

enum SdnpOpcode : uint8_t {
  kSdnpQry = 0x00,
  kSdnpAct = 0x01,
  kSdnpRst = 0x10,
  kSdnpSyn = 0x11,
  kSdnpAck = 0x12,
  kSdnpNak = 0x13,
  kSdnpReq = 0x21,
  kSdnpRep = 0x22,
};

struct SdnpHeader {
  uint16_t id = 0;
  uint16_t fsn = 0;
  uint8_t opcode = 0;
  uint8_t reserved = 0;
  uint16_t length = 0;
  uint16_t data_checksum = 0;
  uint16_t header_checksum = 0;
};

// 16-bit sum of the bytes, starting from 0xAA55; carries out of bit 15 drop.
uint16_t SdnpChecksum(const uint8_t* bytes, size_t count);

// A whole frame: header with both checksums, then the payload.
std::string BuildSdnpFrame(uint16_t id, uint16_t fsn, uint8_t opcode, std::string_view payload);

// The header fields of a frame of at least 12 bytes.
SdnpHeader ReadSdnpHeader(const uint8_t* frame);

// "QRY", "ACT", ... or "???".
const char* SdnpOpcodeName(uint8_t opcode);

}  // namespace veritor
