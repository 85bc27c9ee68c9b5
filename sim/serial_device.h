#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>

#include "sim/device_model.h"
#include "sim/fault_mix.h"

namespace veritor::sim {

// How the device answers one ENQ, or one good request packet.
enum class AnswerFault { kAck, kNak, kCan, kSilence };

// How the device sends one reply packet (a resend after NAK is a packet too).
struct ReplyFault {
  enum class Kind { kClean, kBadChecksum, kPause, kStray, kLong, kShort, kDelay, kFlip, kDrop };
  Kind kind = Kind::kClean;
  size_t count = 0;   // kPause: bytes sent before the pause; kLong: body length
  uint32_t ms = 0;    // kPause, kDelay
  std::string bytes;  // kStray: sent before the STX
  uint32_t where = 0; // kFlip: the byte and bit flipped; kDrop: the byte left out

  static ReplyFault Clean() { return {}; }
  static ReplyFault BadChecksum() { return Make(Kind::kBadChecksum); }
  static ReplyFault Pause(size_t after_bytes, uint32_t ms) {
    return Make(Kind::kPause, after_bytes, ms);
  }
  static ReplyFault Stray(std::string bytes) { return Make(Kind::kStray, 0, 0, std::move(bytes)); }
  static ReplyFault Long(size_t body_length) { return Make(Kind::kLong, body_length); }
  // Exactly 10 bytes between STX and ETX, with a checksum that matches them.
  static ReplyFault Short() { return Make(Kind::kShort); }
  static ReplyFault Delay(uint32_t ms) { return Make(Kind::kDelay, 0, ms); }
  // One bit of the packet flipped, or one byte of it left out: byte
  // where % size, bit where / size % 8. `from` bytes at the start are spared.
  static ReplyFault Flip(uint32_t where, size_t from = 0) { return Damage(Kind::kFlip, where, from); }
  static ReplyFault Drop(uint32_t where, size_t from = 0) { return Damage(Kind::kDrop, where, from); }

 private:
  static ReplyFault Make(Kind kind, size_t count = 0, uint32_t ms = 0, std::string bytes = {}) {
    ReplyFault fault;
    fault.kind = kind;
    fault.count = count;
    fault.ms = ms;
    fault.bytes = std::move(bytes);
    return fault;
  }
  static ReplyFault Damage(Kind kind, uint32_t where, size_t from) {
    ReplyFault fault = Make(kind, from);
    fault.where = where;
    return fault;
  }
};

// Each entry is used once, in order; an empty queue means normal behaviour.
struct FaultPlan {
  std::deque<AnswerFault> enq;
  std::deque<AnswerFault> packet;
  std::deque<ReplyFault> reply;
};

// The device's side of the serial link, as a state machine over time with
// no I/O of its own: the host's bytes go in with the time they arrived, and
// the device's bytes come out when they are due.
//
// The device answers ENQ with ACK and a good request packet with ACK, then
// sends the reply packet after kProcessingMs; a packet with a bad checksum
// gets NAK. After a reply, ACK ends the exchange and NAK brings the same
// reply again. CAN or ENQ always start over: whatever the device still had
// to send is dropped, and an unfinished packet or an unacknowledged reply is
// abandoned, since the host purges its line before every enquiry and the ACK
// of the last reply may never arrive. An STX starts a new packet at any time
// and abandons an unacknowledged reply.
class SerialDevice {
 public:
  static constexpr uint32_t kProcessingMs = 3;
  // Bytes kept between STX and ETX of a request; later ones are dropped.
  static constexpr size_t kMaxRequestBody = 2047;

  explicit SerialDevice(DeviceModel& model) : model_(model) {}

  void OnHostByte(uint8_t byte, uint32_t now_ms);
  // Appends to `out` every byte due at or before now_ms.
  void TakeDue(uint32_t now_ms, std::string& out);
  // When the next byte is due, or nothing when there is none.
  std::optional<uint32_t> NextDue() const;

  // Faults drawn at random, repeatable by seed, after the planned ones. The
  // recoverable mix draws with the given probability for every ENQ, request
  // packet and reply packet. With every kind, each ENQ draws once for the
  // exchange it starts, and the fault drawn (CAN, a reply later than the
  // console waits, a flipped or dropped byte, BUSY, ... ) meets that exchange.
  void EnableRandomFaults(uint32_t seed, double probability, FaultMix mix = FaultMix::kRecoverable);
  void DisableRandomFaults() { random_probability_ = 0; }
  // Every fault the device carried out, planned or drawn.
  uint64_t FaultsInjected() const { return faults_injected_; }

  FaultPlan faults;

 private:
  enum class State { kIdle, kReceiving, kAwaitingAck };

  struct DueByte {
    uint32_t due;
    uint8_t byte;
  };

  void StartOver();
  void OnEnquiry(uint32_t now_ms);
  void OnPacketByte(uint8_t byte, uint32_t now_ms);
  void OnPacketEnd(uint32_t now_ms);
  void OnReplyAnswer(uint8_t byte, uint32_t now_ms);
  void SendAnswer(AnswerFault fault, uint32_t now_ms);
  void SendReply(uint32_t now_ms);
  void Schedule(uint32_t due, const std::string& bytes);
  enum class Stage { kEnquiry, kPacket, kReply };
  // The one fault an exchange meets when every kind is drawn.
  struct ExchangeFault {
    Stage stage = Stage::kEnquiry;
    AnswerFault answer = AnswerFault::kAck;
    ReplyFault reply;
    bool busy = false;  // the model answers BUSY
  };

  AnswerFault NextAnswerFault(std::deque<AnswerFault>& planned, Stage stage);
  ReplyFault NextReplyFault();
  bool RandomHit();
  void DrawExchangeFault();
  std::optional<ExchangeFault> TakeExchangeFault(Stage stage);

  DeviceModel& model_;
  State state_ = State::kIdle;
  std::string body_;
  std::string reply_;
  std::deque<DueByte> output_;
  uint32_t last_due_ = 0;

  std::mt19937 random_;
  double random_probability_ = 0;
  FaultMix mix_ = FaultMix::kRecoverable;
  std::optional<ExchangeFault> exchange_fault_;
  uint64_t faults_injected_ = 0;
};

// A reply packet as a fault makes it: the bytes to send and, for a pause,
// where the pause falls. Exposed for tests.
struct FaultedPacket {
  std::string bytes;
  size_t pause_after = 0;  // bytes before the pause (0: none)
  uint32_t pause_ms = 0;
  uint32_t delay_ms = 0;
};
FaultedPacket BuildFaultedReply(const std::string& reply, const ReplyFault& fault);

// The text of a request packet body (the text, "/", two decimal digits of its
// checksum), or nothing when the body is malformed or its checksum is wrong.
std::optional<std::string> RequestPacketText(const std::string& body);

}  // namespace veritor::sim
