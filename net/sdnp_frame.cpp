#include "net/sdnp_frame.h"

namespace veritor {

namespace {

uint16_t ReadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

void WriteLe16(std::string& frame, size_t offset, uint16_t value) {
  frame[offset] = static_cast<char>(value & 0xFF);
  frame[offset + 1] = static_cast<char>(value >> 8);
}

}  // namespace

uint16_t SdnpChecksum(const uint8_t* bytes, size_t count) {
  uint16_t sum = 0xAA55;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
  return sum;
}

std::string BuildSdnpFrame(uint16_t id, uint16_t fsn, uint8_t opcode, std::string_view payload) {
  std::string frame(kSdnpHeaderSize, '\0');
  frame += payload;
  WriteLe16(frame, 0, id);
  WriteLe16(frame, 2, fsn);
  frame[4] = static_cast<char>(opcode);
  WriteLe16(frame, 6, static_cast<uint16_t>(payload.size()));
  const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
  WriteLe16(frame, 8, SdnpChecksum(bytes + kSdnpHeaderSize, payload.size()));
  WriteLe16(frame, 10, SdnpChecksum(bytes, 10));
  return frame;
}

SdnpHeader ReadSdnpHeader(const uint8_t* frame) {
  SdnpHeader header;
  header.id = ReadLe16(frame);
  header.fsn = ReadLe16(frame + 2);
  header.opcode = frame[4];
  header.reserved = frame[5];
  header.length = ReadLe16(frame + 6);
  header.data_checksum = ReadLe16(frame + 8);
  header.header_checksum = ReadLe16(frame + 10);
  return header;
}

const char* SdnpOpcodeName(uint8_t opcode) {
  switch (opcode) {
    case kSdnpQry: return "QRY";
    case kSdnpAct: return "ACT";
    case kSdnpRst: return "RST";
    case kSdnpSyn: return "SYN";
    case kSdnpAck: return "ACK";
    case kSdnpNak: return "NAK";
    case kSdnpReq: return "REQ";
    case kSdnpRep: return "REP";
    default: return "???";
  }
}

}  // namespace veritor
