#include "sim/serial_device.h"

#include <algorithm>
#include <cstdio>

#include "serial/packet.h"

namespace veritor::sim {

namespace {

// True when `moment` is at or before `now` on the wrapping 32-bit clock.
bool Reached(uint32_t moment, uint32_t now) {
  return static_cast<int32_t>(now - moment) >= 0;
}

uint32_t Later(uint32_t a, uint32_t b) { return Reached(a, b) ? b : a; }

// The packet of `text` with its checksum digits made wrong.
std::string WithBadChecksum(const std::string& text) {
  std::string packet = BuildPacket(text);
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02u", (PacketChecksum(text) + 1) % 100);
  packet[packet.size() - 3] = digits[0];
  packet[packet.size() - 2] = digits[1];
  return packet;
}

// A text cut or filled with '#' so that its packet body has `body` bytes.
std::string TextForBody(const std::string& text, size_t body, char filler) {
  std::string sized = text;
  sized.resize(body < 3 ? 0 : body - 3, filler);
  return sized;
}

// The packet with the damage of a kFlip or kDrop fault, sparing its first
// `spared` bytes.
std::string Damaged(const std::string& packet, const ReplyFault& fault, size_t spared) {
  if (spared >= packet.size()) return packet;
  const std::string head = packet.substr(0, spared);
  const std::string tail = packet.substr(spared);
  return head + (fault.kind == ReplyFault::Kind::kFlip ? FlipBit(tail, fault.where) : DropByte(tail, fault.where));
}

}  // namespace

std::optional<std::string> RequestPacketText(const std::string& body) {
  if (body.size() < 3) return std::nullopt;
  const size_t slash = body.size() - 3;
  const char tens = body[slash + 1];
  const char ones = body[slash + 2];
  if (body[slash] != '/' || tens < '0' || tens > '9' || ones < '0' || ones > '9') {
    return std::nullopt;
  }
  std::string text = body.substr(0, slash);
  const unsigned stated = static_cast<unsigned>((tens - '0') * 10 + (ones - '0'));
  if (stated != PacketChecksum(text)) return std::nullopt;
  return text;
}

FaultedPacket BuildFaultedReply(const std::string& reply, const ReplyFault& fault) {
  FaultedPacket packet;
  switch (fault.kind) {
    case ReplyFault::Kind::kClean:
      packet.bytes = BuildPacket(reply);
      break;
    case ReplyFault::Kind::kBadChecksum:
      packet.bytes = WithBadChecksum(reply);
      break;
    case ReplyFault::Kind::kPause:
      packet.bytes = BuildPacket(reply);
      packet.pause_after = std::min(fault.count, packet.bytes.size());
      packet.pause_ms = fault.ms;
      break;
    case ReplyFault::Kind::kStray:
      packet.bytes = fault.bytes + BuildPacket(reply);
      break;
    case ReplyFault::Kind::kLong:
      packet.bytes = BuildPacket(TextForBody(reply, fault.count, '#'));
      break;
    case ReplyFault::Kind::kShort:
      packet.bytes = BuildPacket(TextForBody(reply, 10, '0'));
      break;
    case ReplyFault::Kind::kDelay:
      packet.bytes = BuildPacket(reply);
      packet.delay_ms = fault.ms;
      break;
    case ReplyFault::Kind::kFlip:
    case ReplyFault::Kind::kDrop:
      packet.bytes = Damaged(BuildPacket(reply), fault, fault.count);
      break;
  }
  return packet;
}

void SerialDevice::OnHostByte(uint8_t byte, uint32_t now_ms) {
  switch (byte) {
    case kCan:
      StartOver();
      return;
    case kEnq:
      StartOver();
      OnEnquiry(now_ms);
      return;
    case kStx:
      // Bytes already on their way (the ACK of an enquiry) still go out.
      state_ = State::kReceiving;
      body_.clear();
      reply_.clear();
      return;
    default:
      break;
  }
  if (state_ == State::kReceiving) {
    OnPacketByte(byte, now_ms);
  } else if (state_ == State::kAwaitingAck) {
    OnReplyAnswer(byte, now_ms);
  }
}

void SerialDevice::TakeDue(uint32_t now_ms, std::string& out) {
  while (!output_.empty() && Reached(output_.front().due, now_ms)) {
    out += static_cast<char>(output_.front().byte);
    output_.pop_front();
  }
}

std::optional<uint32_t> SerialDevice::NextDue() const {
  if (output_.empty()) return std::nullopt;
  return output_.front().due;
}

void SerialDevice::EnableRandomFaults(uint32_t seed, double probability, FaultMix mix) {
  random_.seed(seed);
  random_probability_ = std::clamp(probability, 0.0, 1.0);
  mix_ = mix;
}

void SerialDevice::StartOver() {
  state_ = State::kIdle;
  body_.clear();
  reply_.clear();
  output_.clear();
  exchange_fault_.reset();
}

void SerialDevice::OnEnquiry(uint32_t now_ms) {
  if (mix_ != FaultMix::kRecoverable) DrawExchangeFault();
  SendAnswer(NextAnswerFault(faults.enq, Stage::kEnquiry), now_ms);
}

void SerialDevice::OnPacketByte(uint8_t byte, uint32_t now_ms) {
  if (byte == kEtx) {
    OnPacketEnd(now_ms);
  } else if (body_.size() < kMaxRequestBody) {
    body_ += static_cast<char>(byte);
  }
}

void SerialDevice::OnPacketEnd(uint32_t now_ms) {
  state_ = State::kIdle;
  const std::optional<std::string> text = RequestPacketText(body_);
  body_.clear();
  const AnswerFault fault = NextAnswerFault(faults.packet, Stage::kPacket);
  if (fault != AnswerFault::kAck || !text) {
    SendAnswer(fault == AnswerFault::kAck ? AnswerFault::kNak : fault, now_ms);
    return;
  }
  SendAnswer(AnswerFault::kAck, now_ms);
  if (exchange_fault_ && exchange_fault_->busy) {
    exchange_fault_.reset();
    ++faults_injected_;
    model_.AnswerBusy(1);
  }
  reply_ = model_.Handle(*text);
  state_ = State::kAwaitingAck;
  SendReply(now_ms + kProcessingMs);
}

void SerialDevice::OnReplyAnswer(uint8_t byte, uint32_t now_ms) {
  if (byte == kAck) {
    state_ = State::kIdle;
    reply_.clear();
  } else if (byte == kNak) {
    SendReply(now_ms);
  }
}

void SerialDevice::SendAnswer(AnswerFault fault, uint32_t now_ms) {
  switch (fault) {
    case AnswerFault::kAck: Schedule(now_ms, std::string(1, kAck)); break;
    case AnswerFault::kNak: Schedule(now_ms, std::string(1, kNak)); break;
    case AnswerFault::kCan: Schedule(now_ms, std::string(1, kCan)); break;
    case AnswerFault::kSilence: break;
  }
}

void SerialDevice::SendReply(uint32_t at_ms) {
  const FaultedPacket packet = BuildFaultedReply(reply_, NextReplyFault());
  const uint32_t start = at_ms + packet.delay_ms;
  if (packet.pause_after == 0) {
    Schedule(start, packet.bytes);
    return;
  }
  Schedule(start, packet.bytes.substr(0, packet.pause_after));
  Schedule(start + packet.pause_ms, packet.bytes.substr(packet.pause_after));
}

// Bytes leave in order: nothing is due before what was scheduled earlier.
void SerialDevice::Schedule(uint32_t due, const std::string& bytes) {
  if (!output_.empty()) due = Later(due, last_due_);
  for (char c : bytes) output_.push_back({due, static_cast<uint8_t>(c)});
  if (!bytes.empty()) last_due_ = due;
}

AnswerFault SerialDevice::NextAnswerFault(std::deque<AnswerFault>& planned, Stage stage) {
  AnswerFault fault = AnswerFault::kAck;
  if (!planned.empty()) {
    fault = planned.front();
    planned.pop_front();
  } else if (mix_ != FaultMix::kRecoverable) {
    if (const auto drawn = TakeExchangeFault(stage)) fault = drawn->answer;
  } else if (RandomHit()) {
    fault = random_() % 2 == 0 ? AnswerFault::kNak : AnswerFault::kSilence;
  }
  if (fault != AnswerFault::kAck) ++faults_injected_;
  return fault;
}

// Random reply faults are the ones a host can recover from by asking again.
ReplyFault SerialDevice::NextReplyFault() {
  ReplyFault fault;
  if (!faults.reply.empty()) {
    fault = faults.reply.front();
    faults.reply.pop_front();
  } else if (mix_ != FaultMix::kRecoverable) {
    if (const auto drawn = TakeExchangeFault(Stage::kReply)) fault = drawn->reply;
  } else if (RandomHit()) {
    switch (random_() % 5) {
      case 0: fault = ReplyFault::BadChecksum(); break;
      case 1: fault = ReplyFault::Pause(1 + random_() % 8, 600); break;
      case 2: fault = ReplyFault::Stray(std::string(1 + random_() % 3, '\x7F')); break;
      case 3: fault = ReplyFault::Short(); break;
      default: fault = ReplyFault::Delay(random_() % 1500); break;
    }
  }
  if (fault.kind != ReplyFault::Kind::kClean) ++faults_injected_;
  return fault;
}

// Later than the console waits for a reply's STX.
constexpr uint32_t kPastTheConsolesWaitMs = 2500;

void SerialDevice::DrawExchangeFault() {
  exchange_fault_.reset();
  if (!RandomHit()) return;
  ExchangeFault drawn;
  const auto answer = [&](Stage stage, AnswerFault fault) {
    drawn.stage = stage;
    drawn.answer = fault;
  };
  const auto reply = [&](ReplyFault fault) {
    drawn.stage = Stage::kReply;
    drawn.reply = std::move(fault);
  };
  // The last three end the request with a failure; a damaged STX would too.
  const bool every_kind = mix_ == FaultMix::kEveryKind;
  const size_t spared = every_kind ? 0 : 1;
  switch (random_() % (every_kind ? 14 : 11)) {
    case 0: answer(Stage::kEnquiry, AnswerFault::kNak); break;
    case 1: answer(Stage::kEnquiry, AnswerFault::kSilence); break;
    case 2: answer(Stage::kPacket, AnswerFault::kNak); break;
    case 3: answer(Stage::kPacket, AnswerFault::kSilence); break;
    case 4: reply(ReplyFault::Flip(static_cast<uint32_t>(random_()), spared)); break;
    case 5: reply(ReplyFault::Drop(static_cast<uint32_t>(random_()), spared)); break;
    case 6: reply(ReplyFault::BadChecksum()); break;
    case 7: reply(ReplyFault::Pause(1 + random_() % 8, 600)); break;
    case 8: reply(ReplyFault::Stray(std::string(1 + random_() % 3, '\x7F'))); break;
    case 9: reply(ReplyFault::Short()); break;
    case 10:
      drawn.stage = Stage::kPacket;
      drawn.busy = true;
      break;
    case 11: answer(Stage::kEnquiry, AnswerFault::kCan); break;
    case 12: answer(Stage::kPacket, AnswerFault::kCan); break;
    default: reply(ReplyFault::Delay(kPastTheConsolesWaitMs)); break;
  }
  exchange_fault_ = std::move(drawn);
}

std::optional<SerialDevice::ExchangeFault> SerialDevice::TakeExchangeFault(Stage stage) {
  if (!exchange_fault_ || exchange_fault_->stage != stage || exchange_fault_->busy) return std::nullopt;
  std::optional<ExchangeFault> fault = std::move(exchange_fault_);
  exchange_fault_.reset();
  return fault;
}

bool SerialDevice::RandomHit() {
  if (random_probability_ <= 0) return false;
  return random_() < random_probability_ * static_cast<double>(std::mt19937::max());
}

}  // namespace veritor::sim
