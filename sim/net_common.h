#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "sim/fault_mix.h"

namespace veritor::sim {

// The largest UDP payload over IPv4.
inline constexpr size_t kMaxDatagram = 65507;

// True when `moment` is at or before `now` on the wrapping 32-bit clock.
inline bool Reached(uint32_t moment, uint32_t now) { return static_cast<int32_t>(now - moment) >= 0; }

// How a network device answers one exchange. Which kinds a link knows is
// listed with each device; a kind a link does not know is answered normally.
enum class NetFault : uint8_t {
  kNone,
  kSilence,      // the device does not hear the request: no answer, nothing carried out
  kLate,         // the answer goes out `value` ms later
  kRst,          // SDNP: RST instead of the answer
  kNak,          // SDNP: NAK frame; UDP: the NAK byte, instead of the answer
  kBadChecksum,  // the reply's data checksum (SDNP) or digits (UDP) are wrong
  kEcho,         // SDNP: the console's own frame comes back before the answer
  kWrongFsn,     // SDNP: a copy of the answer with the previous fsn before it
  kForeign,      // a copy of the answer from another address before it
  kWrongByte,    // UDP: ENQ answered with a byte other than ACK
  kResync,       // UDP: a request answered with the resync byte
  kDuplicate,    // UDP: the reply packet twice
  kOversized,    // UDP: a datagram of `value` bytes (65,507 if 0) before the reply
  kEmpty,        // UDP: an empty datagram before the reply
  kSplit,        // TCP: the reply in two pieces, the second `value` ms later
  kClose,        // TCP: the first half of the reply, then the connection closes
  kReset,        // TCP: the connection is reset instead of answered
  kFlip,         // SDNP, UDP: one bit of the answer flipped (byte and bit from `value`)
  kDropByte,     // SDNP, UDP: one byte of the answer left out (which from `value`)
  kBusy,         // the model answers BUSY instead of carrying the request out
};



struct FaultEntry {
  NetFault kind = NetFault::kNone;
  uint32_t value = 0;
};

// Faults drawn at random, repeatable by seed; off until enabled.
class FaultDice {
 public:
  void Enable(uint32_t seed, double probability, FaultMix mix = FaultMix::kRecoverable);
  void Disable() { probability_ = 0; }
  FaultMix mix() const { return mix_; }
  // The next planned fault, else with the set probability one of `choices`,
  // else none. A drawn kFlip or kDropByte gets a random value.
  FaultEntry Next(std::deque<FaultEntry>& planned, std::span<const FaultEntry> choices);
  // With the set probability an index below `count`, else nothing; an index
  // counts as a fault injected.
  std::optional<size_t> Pick(size_t count);
  uint32_t Roll() { return static_cast<uint32_t>(random_()); }
  // Every fault Next and Pick handed out, planned or drawn.
  uint64_t faults_injected() const { return faults_injected_; }

 private:
  FaultEntry Draw(std::span<const FaultEntry> choices);
  bool Hit();

  std::mt19937 random_;
  double probability_ = 0;
  FaultMix mix_ = FaultMix::kRecoverable;
  uint64_t faults_injected_ = 0;
};

// A datagram a device sends, from its own address or another one.
struct OutgoingDatagram {
  uint32_t due = 0;
  Ipv4Address from = 0;
  Ipv4Address to = 0;
  uint16_t to_port = 0;
  std::string bytes;
};

// Datagrams waiting for their time. Independent datagrams: one scheduled
// later may leave before one scheduled earlier with a longer delay.
class DatagramQueue {
 public:
  void Add(OutgoingDatagram datagram) { queue_.push_back(std::move(datagram)); }
  // Appends every datagram due at or before now_ms, in the order they were added.
  void TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out);
  std::optional<uint32_t> NextDue() const;
  void Clear() { queue_.clear(); }

 private:
  std::deque<OutgoingDatagram> queue_;
};

// The address a device's "foreign" copies come from: its own with bit 7 of
// the last byte flipped (127.0.0.2 gives 127.0.0.130), so still loopback.
inline Ipv4Address ForeignAddressOf(Ipv4Address own) { return own ^ 0x80u; }

}  // namespace veritor::sim
