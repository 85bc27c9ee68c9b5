#include "sim/sdnp_device.h"

#include "net/sdnp_frame.h"

namespace veritor::sim {

namespace {

// Random faults are the ones the console recovers from by waiting or asking again.
constexpr FaultEntry kAnswerChoices[] = {
    {NetFault::kSilence}, {NetFault::kLate, 300}, {NetFault::kLate, 1500},
    {NetFault::kEcho},    {NetFault::kWrongFsn},  {NetFault::kForeign},
};
constexpr FaultEntry kRequestChoices[] = {
    {NetFault::kSilence}, {NetFault::kLate, 300}, {NetFault::kLate, 1500},
    {NetFault::kEcho},    {NetFault::kWrongFsn},  {NetFault::kForeign},
    {NetFault::kRst},     {NetFault::kNak},       {NetFault::kBadChecksum},
};
// Every kind: also damaged and doubled answers, and BUSY.
constexpr FaultEntry kEveryAnswerChoice[] = {
    {NetFault::kSilence}, {NetFault::kLate, 300}, {NetFault::kLate, 1500}, {NetFault::kEcho},
    {NetFault::kWrongFsn}, {NetFault::kForeign},  {NetFault::kFlip},       {NetFault::kDropByte},
    {NetFault::kDuplicate},
};
constexpr FaultEntry kEveryRequestChoice[] = {
    {NetFault::kSilence},  {NetFault::kLate, 300}, {NetFault::kLate, 1500}, {NetFault::kEcho},
    {NetFault::kWrongFsn}, {NetFault::kForeign},   {NetFault::kRst},        {NetFault::kNak},
    {NetFault::kBadChecksum}, {NetFault::kFlip},   {NetFault::kDropByte},   {NetFault::kDuplicate},
    {NetFault::kBusy},
};

const uint8_t* Bytes(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

std::string DeviceFrame(uint8_t opcode, uint16_t fsn, std::string_view payload = {}) {
  return BuildSdnpFrame(kSdnpDeviceId, fsn, opcode, payload);
}

void WriteLe16(std::string& frame, size_t offset, uint16_t value) {
  frame[offset] = static_cast<char>(value & 0xFF);
  frame[offset + 1] = static_cast<char>(value >> 8);
}

}  // namespace

std::string WithBadDataChecksum(std::string frame) {
  const SdnpHeader header = ReadSdnpHeader(Bytes(frame));
  WriteLe16(frame, 8, static_cast<uint16_t>(header.data_checksum + 1));
  WriteLe16(frame, 10, SdnpChecksum(Bytes(frame), 10));
  return frame;
}

SdnpDevice::SdnpDevice(DeviceModel& model, Ipv4Address address)
    : model_(model), address_(address), foreign_address_(ForeignAddressOf(address)) {}

void SdnpDevice::OnDatagram(Ipv4Address sender, uint16_t sender_port, std::string_view bytes,
                            uint32_t now_ms) {
  if (bytes.size() < kSdnpHeaderSize || bytes.size() > kSdnpMaxFrame) return;
  const SdnpHeader header = ReadSdnpHeader(Bytes(bytes));
  if (header.id != kSdnpConsoleId || header.header_checksum != SdnpChecksum(Bytes(bytes), 10) ||
      header.length != bytes.size() - kSdnpHeaderSize) {
    return;
  }
  const std::string_view payload = bytes.substr(kSdnpHeaderSize);
  const Exchange exchange{sender, sender_port, bytes, now_ms};
  switch (header.opcode) {
    case kSdnpQry:
      OnQuery(header.fsn, exchange);
      break;
    case kSdnpSyn:
      OnSync(header.fsn, exchange);
      break;
    case kSdnpReq: {
      const bool payload_ok = SdnpChecksum(Bytes(payload), payload.size()) == header.data_checksum;
      OnRequest(header.fsn, payload, payload_ok, exchange);
      break;
    }
    case kSdnpNak:
      OnConsoleNak(header.fsn, exchange);
      break;
    default:
      break;
  }
}

std::span<const FaultEntry> SdnpDevice::AnswerChoices() const {
  if (dice_.mix() != FaultMix::kRecoverable) return kEveryAnswerChoice;
  return kAnswerChoices;
}

void SdnpDevice::OnQuery(uint16_t fsn, const Exchange& exchange) {
  const FaultEntry fault = dice_.Next(faults.query, AnswerChoices());
  if (fault.kind == NetFault::kSilence) return;
  Answer(fault, kSdnpAct, fsn, "", exchange);
}

void SdnpDevice::OnSync(uint16_t fsn, const Exchange& exchange) {
  const FaultEntry fault = dice_.Next(faults.sync, AnswerChoices());
  if (fault.kind == NetFault::kSilence) return;
  synced_ = true;
  handled_fsn_.reset();
  resend_after_nak_ = false;
  Answer(fault, kSdnpAck, fsn, "", exchange);
}

void SdnpDevice::OnRequest(uint16_t fsn, std::string_view payload, bool payload_ok,
                           const Exchange& exchange) {
  if (!synced_) return Send(exchange, DeviceFrame(kSdnpRst, fsn));
  if (!payload_ok) return Send(exchange, DeviceFrame(kSdnpNak, fsn));
  const FaultEntry fault = NextRequestFault();
  if (fault.kind == NetFault::kSilence) return;
  if (fault.kind == NetFault::kRst || fault.kind == NetFault::kNak) {
    return Answer(fault, kSdnpRep, fsn, "", exchange);
  }
  if (handled_fsn_ != fsn) {
    if (fault.kind == NetFault::kBusy) model_.AnswerBusy(1);
    handled_reply_ = model_.Handle(std::string(payload));
    if (handled_reply_.size() > kSdnpMaxPayload) handled_reply_.resize(kSdnpMaxPayload);
    handled_fsn_ = fsn;
  }
  resend_after_nak_ = fault.kind == NetFault::kBadChecksum;
  Answer(fault, kSdnpRep, fsn, handled_reply_, exchange);
}

FaultEntry SdnpDevice::NextRequestFault() {
  if (faults.every_request) return {*faults.every_request};
  if (dice_.mix() != FaultMix::kRecoverable) return dice_.Next(faults.request, kEveryRequestChoice);
  return dice_.Next(faults.request, kRequestChoices);
}

void SdnpDevice::OnConsoleNak(uint16_t fsn, const Exchange& exchange) {
  if (!resend_after_nak_ || handled_fsn_ != fsn) return;
  resend_after_nak_ = false;
  Send(exchange, DeviceFrame(kSdnpRep, fsn, handled_reply_));
}

void SdnpDevice::Answer(const FaultEntry& fault, uint8_t opcode, uint16_t fsn, std::string_view payload,
                        const Exchange& exchange) {
  const std::string frame = DeviceFrame(opcode, fsn, payload);
  switch (fault.kind) {
    case NetFault::kRst:
      return Send(exchange, DeviceFrame(kSdnpRst, fsn));
    case NetFault::kNak:
      return Send(exchange, DeviceFrame(kSdnpNak, fsn));
    case NetFault::kBadChecksum:
      return Send(exchange, WithBadDataChecksum(frame));
    case NetFault::kLate:
      return Send(exchange, frame, fault.value);
    case NetFault::kFlip:
      return Send(exchange, FlipBit(frame, fault.value));
    case NetFault::kDropByte:
      return Send(exchange, DropByte(frame, fault.value));
    case NetFault::kDuplicate:
      Send(exchange, frame);
      break;
    case NetFault::kEcho:
      Send(exchange, std::string(exchange.incoming));
      break;
    case NetFault::kWrongFsn:
      Send(exchange, DeviceFrame(opcode, static_cast<uint16_t>(fsn - 1), payload));
      break;
    case NetFault::kForeign:
      Send(exchange, frame, 0, foreign_address_);
      break;
    default:
      break;
  }
  Send(exchange, frame);
}

void SdnpDevice::Send(const Exchange& exchange, std::string frame, uint32_t delay_ms,
                      std::optional<Ipv4Address> from) {
  output_.Add({exchange.now + delay_ms, from.value_or(address_), exchange.to, exchange.to_port,
               std::move(frame)});
}

}  // namespace veritor::sim
