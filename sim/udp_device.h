#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_model.h"
#include "sim/net_common.h"

namespace veritor::sim {

// The device's side of the UDP link, as a state machine over time with no
// I/O of its own; every answer goes to the sender of what it answers.
//
// One-byte datagrams are control bytes: ENQ gets ACK (0x06); after a reply,
// the console's ACK ends the exchange and its NAK (0x16) brings the reply
// packet again; any other is ignored. Any longer datagram framed by STX and
// ETX is a request packet, checked by the serial packet rules: a bad one gets
// NAK; a good one is carried out and gets ACK (unless ack_before_reply is
// off), then the reply packet. A reply text is cut so that its packet fits
// one datagram. Empty datagrams and unframed ones are ignored.
//
// The mixes of every kind draw once an exchange, at its ENQ.
//
// Faults, each planned entry used once and in order:
//   enquiry: kSilence, kWrongByte (0x15 instead of ACK), kLate;
//   request: kSilence, kNak, kResync (these three not carried out), kLate,
//   kBadChecksum, kDuplicate, kOversized, kEmpty, kForeign, kFlip, kDropByte,
//   kBusy.
class UdpDevice {
 public:
  UdpDevice(DeviceModel& model, Ipv4Address address);

  void OnDatagram(Ipv4Address sender, uint16_t sender_port, std::string_view bytes, uint32_t now_ms);
  void TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out) { output_.TakeDue(now_ms, out); }
  std::optional<uint32_t> NextDue() const { return output_.NextDue(); }

  Ipv4Address address() const { return address_; }
  Ipv4Address foreign_address() const { return foreign_address_; }
  void SetForeignAddress(Ipv4Address address) { foreign_address_ = address; }
  DeviceModel& model() { return model_; }
  void EnableRandomFaults(uint32_t seed, double probability, FaultMix mix = FaultMix::kRecoverable) {
    dice_.Enable(seed, probability, mix);
  }
  void DisableRandomFaults() { dice_.Disable(); }
  uint64_t FaultsInjected() const { return dice_.faults_injected(); }

  bool ack_before_reply = true;
  struct Plan {
    std::deque<FaultEntry> enquiry;
    std::deque<FaultEntry> request;
  };
  Plan faults;

 private:
  struct Peer {
    Ipv4Address address = 0;
    uint16_t port = 0;
    uint32_t now = 0;
  };

  void OnControlByte(uint8_t byte, const Peer& peer);
  void OnEnquiry(const Peer& peer);
  FaultEntry EnquiryFault();
  FaultEntry RequestFault();
  void OnRequestPacket(std::string_view body, const Peer& peer);
  void SendReply(const FaultEntry& fault, const Peer& peer);
  void Send(const Peer& peer, std::string bytes, uint32_t delay_ms = 0,
            std::optional<Ipv4Address> from = std::nullopt);

  DeviceModel& model_;
  Ipv4Address address_;
  Ipv4Address foreign_address_;
  DatagramQueue output_;
  FaultDice dice_;
  std::string reply_packet_;  // the reply awaiting the console's ACK, or ""
  std::optional<FaultEntry> request_fault_;  // drawn at the ENQ for the request after it
};

}  // namespace veritor::sim
