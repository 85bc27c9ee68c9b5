#include "sim/udp_device.h"

#include "net/net_constants.h"
#include "serial/packet.h"
#include "sim/serial_device.h"

namespace veritor::sim {

namespace {

constexpr size_t kPacketFraming = 5;  // STX, "/", two digits, ETX
constexpr uint8_t kWrongEnquiryAnswer = 0x15;

// Random faults are the ones the console recovers from by waiting or asking again.
constexpr FaultEntry kEnquiryChoices[] = {
    {NetFault::kSilence}, {NetFault::kWrongByte}, {NetFault::kLate, 200}, {NetFault::kLate, 600},
};
constexpr FaultEntry kRequestChoices[] = {
    {NetFault::kSilence}, {NetFault::kNak},       {NetFault::kResync},    {NetFault::kLate, 500},
    {NetFault::kLate, 2500}, {NetFault::kBadChecksum}, {NetFault::kDuplicate}, {NetFault::kOversized},
    {NetFault::kEmpty},   {NetFault::kForeign},
};
// Every kind, also damaged reply packets and BUSY, drawn once for the
// exchange that an ENQ starts: the first four meet the ENQ, the others the
// request that follows it.
constexpr size_t kEnquiryFaults = 4;
constexpr FaultEntry kEveryExchangeChoice[] = {
    {NetFault::kSilence},    {NetFault::kWrongByte},   {NetFault::kLate, 200}, {NetFault::kLate, 600},
    {NetFault::kSilence},    {NetFault::kNak},         {NetFault::kResync},    {NetFault::kLate, 500},
    {NetFault::kLate, 2500}, {NetFault::kBadChecksum}, {NetFault::kDuplicate}, {NetFault::kOversized},
    {NetFault::kEmpty},      {NetFault::kForeign},     {NetFault::kFlip},      {NetFault::kDropByte},
    {NetFault::kBusy},
};

std::string Byte(uint8_t value) { return std::string(1, static_cast<char>(value)); }

std::string OversizedDatagram(uint32_t size) {
  const size_t length = size == 0 || size > kMaxDatagram ? kMaxDatagram : size;
  std::string bytes(length, '#');
  bytes.front() = static_cast<char>(kStx);
  bytes.back() = static_cast<char>(kEtx);
  return bytes;
}

}  // namespace

UdpDevice::UdpDevice(DeviceModel& model, Ipv4Address address)
    : model_(model), address_(address), foreign_address_(ForeignAddressOf(address)) {}

void UdpDevice::OnDatagram(Ipv4Address sender, uint16_t sender_port, std::string_view bytes,
                           uint32_t now_ms) {
  const Peer peer{sender, sender_port, now_ms};
  if (bytes.size() == 1) return OnControlByte(static_cast<uint8_t>(bytes[0]), peer);
  if (bytes.size() < 2 || bytes.front() != static_cast<char>(kStx) ||
      bytes.back() != static_cast<char>(kEtx)) {
    return;
  }
  OnRequestPacket(bytes.substr(1, bytes.size() - 2), peer);
}

void UdpDevice::OnControlByte(uint8_t byte, const Peer& peer) {
  if (byte == kUdpEnq) return OnEnquiry(peer);
  if (reply_packet_.empty()) return;
  if (byte == kUdpAck) {
    reply_packet_.clear();
  } else if (byte == kUdpNak) {
    Send(peer, reply_packet_);
  }
}

FaultEntry UdpDevice::EnquiryFault() {
  if (dice_.mix() == FaultMix::kRecoverable) return dice_.Next(faults.enquiry, kEnquiryChoices);
  request_fault_.reset();
  if (!faults.enquiry.empty()) return dice_.Next(faults.enquiry, {});
  const std::optional<size_t> pick = dice_.Pick(std::size(kEveryExchangeChoice));
  if (!pick) return {};
  FaultEntry fault = kEveryExchangeChoice[*pick];
  if (fault.kind == NetFault::kFlip || fault.kind == NetFault::kDropByte) fault.value = dice_.Roll();
  if (*pick < kEnquiryFaults) return fault;
  request_fault_ = fault;
  return {};
}

FaultEntry UdpDevice::RequestFault() {
  if (dice_.mix() == FaultMix::kRecoverable || !faults.request.empty()) {
    return dice_.Next(faults.request, kRequestChoices);
  }
  const FaultEntry fault = request_fault_.value_or(FaultEntry{});
  request_fault_.reset();
  return fault;
}

void UdpDevice::OnEnquiry(const Peer& peer) {
  reply_packet_.clear();
  const FaultEntry fault = EnquiryFault();
  switch (fault.kind) {
    case NetFault::kSilence: return;
    case NetFault::kWrongByte: return Send(peer, Byte(kWrongEnquiryAnswer));
    case NetFault::kLate: return Send(peer, Byte(kUdpAck), fault.value);
    default: return Send(peer, Byte(kUdpAck));
  }
}

void UdpDevice::OnRequestPacket(std::string_view body, const Peer& peer) {
  reply_packet_.clear();
  const std::optional<std::string> text = RequestPacketText(std::string(body));
  if (!text) return Send(peer, Byte(kUdpNak));
  const FaultEntry fault = RequestFault();
  switch (fault.kind) {
    case NetFault::kSilence: return;
    case NetFault::kNak: return Send(peer, Byte(kUdpNak));
    case NetFault::kResync: return Send(peer, Byte(kUdpResync));
    case NetFault::kBusy: model_.AnswerBusy(1); break;
    default: break;
  }
  std::string reply = model_.Handle(*text);
  if (reply.size() > kMaxDatagram - kPacketFraming) reply.resize(kMaxDatagram - kPacketFraming);
  reply_packet_ = BuildPacket(reply);
  if (ack_before_reply) Send(peer, Byte(kUdpAck));
  SendReply(fault, peer);
}

void UdpDevice::SendReply(const FaultEntry& fault, const Peer& peer) {
  switch (fault.kind) {
    case NetFault::kLate:
      return Send(peer, reply_packet_, fault.value);
    case NetFault::kBadChecksum: {
      const std::string text = reply_packet_.substr(1, reply_packet_.size() - kPacketFraming);
      return Send(peer, BuildFaultedReply(text, ReplyFault::BadChecksum()).bytes);
    }
    case NetFault::kFlip:
      return Send(peer, FlipBit(reply_packet_, fault.value));
    case NetFault::kDropByte:
      return Send(peer, DropByte(reply_packet_, fault.value));
    case NetFault::kDuplicate:
      Send(peer, reply_packet_);
      break;
    case NetFault::kOversized:
      Send(peer, OversizedDatagram(fault.value));
      break;
    case NetFault::kEmpty:
      Send(peer, "");
      break;
    case NetFault::kForeign:
      Send(peer, reply_packet_, 0, foreign_address_);
      break;
    default:
      break;
  }
  Send(peer, reply_packet_);
}

void UdpDevice::Send(const Peer& peer, std::string bytes, uint32_t delay_ms, std::optional<Ipv4Address> from) {
  output_.Add({peer.now + delay_ms, from.value_or(address_), peer.address, peer.port, std::move(bytes)});
}

}  // namespace veritor::sim
