#pragma once

#include <cstdint>
#include <string>

namespace veritor::sim {

// Which faults random draws choose from: the first few a console gets over
// by asking again; every kind a link has, some of which end the request with
// a failure (CAN, an answer later than the console waits, a reset); or every
// kind that asking again gets over, damaged bytes and BUSY included.
enum class FaultMix { kRecoverable, kEveryKind, kEveryRecoverableKind };

// One bit of `bytes` flipped: byte value % size, bit value / size % 8.
inline std::string FlipBit(std::string bytes, uint32_t value) {
  if (bytes.empty()) return bytes;
  const size_t at = value % bytes.size();
  bytes[at] = static_cast<char>(bytes[at] ^ (1u << (value / bytes.size() % 8)));
  return bytes;
}

// One byte of `bytes` left out: byte value % size.
inline std::string DropByte(std::string bytes, uint32_t value) {
  if (!bytes.empty()) bytes.erase(value % bytes.size(), 1);
  return bytes;
}

}  // namespace veritor::sim
