#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_model.h"
#include "sim/net_common.h"

namespace veritor::sim {

// The device's side of SDNP, as a state machine over time with no I/O of its
// own: the console's datagrams go in with the time they arrived, and the
// device's datagrams come out when they are due, addressed to the sender.
//
// The device takes only frames with the console's id and a good header
// checksum whose size matches their length field; anything else is ignored
// without an answer. QRY gets ACT and SYN gets ACK, each with the fsn of the
// frame answered; a SYN starts the session. A REQ gets REP with the REQ's
// fsn carrying the model's reply, cut to 500 bytes when longer. A REQ before
// any SYN gets RST (the console then synchronises); a REQ whose data checksum
// is wrong gets NAK, so that the console sends it again. A REQ repeated with
// the fsn of the last one handled gets the same REP again without being
// carried out twice.
//
// The console answers every REP with a NAK frame; that is its acknowledgement
// and is ignored, except after a REP that the device sent with a bad data
// checksum, which the NAK makes it send again, correct this time.
//
// Faults, each planned entry used once and in order by the frames of its
// kind (query: QRY, sync: SYN, request: REQ, repeats included): kSilence,
// kLate, kEcho, kWrongFsn, kForeign, kFlip, kDropByte, kDuplicate, and kRst,
// kNak in place of the answer; kBadChecksum and kBusy for REQ. A REQ met by
// kSilence, kRst or kNak is not carried out; the others are.
class SdnpDevice {
 public:
  SdnpDevice(DeviceModel& model, Ipv4Address address);

  void OnDatagram(Ipv4Address sender, uint16_t sender_port, std::string_view bytes, uint32_t now_ms);
  // Appends every datagram due at or before now_ms.
  void TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out) { output_.TakeDue(now_ms, out); }
  std::optional<uint32_t> NextDue() const { return output_.NextDue(); }

  Ipv4Address address() const { return address_; }
  Ipv4Address foreign_address() const { return foreign_address_; }
  void SetForeignAddress(Ipv4Address address) { foreign_address_ = address; }
  DeviceModel& model() { return model_; }

  // Random faults for every exchange after the planned ones, by seed.
  void EnableRandomFaults(uint32_t seed, double probability, FaultMix mix = FaultMix::kRecoverable) {
    dice_.Enable(seed, probability, mix);
  }
  void DisableRandomFaults() { dice_.Disable(); }
  uint64_t FaultsInjected() const { return dice_.faults_injected(); }

  struct Plan {
    std::deque<FaultEntry> query;
    std::deque<FaultEntry> sync;
    std::deque<FaultEntry> request;
    // kRst or kNak: every REQ is answered so, for ever; the plan waits.
    std::optional<NetFault> every_request;
  };
  Plan faults;

 private:
  struct Exchange {
    Ipv4Address to = 0;
    uint16_t to_port = 0;
    std::string_view incoming;  // the console's frame, for an echo
    uint32_t now = 0;
  };

  void OnQuery(uint16_t fsn, const Exchange& exchange);
  void OnSync(uint16_t fsn, const Exchange& exchange);
  void OnRequest(uint16_t fsn, std::string_view payload, bool payload_ok, const Exchange& exchange);
  void OnConsoleNak(uint16_t fsn, const Exchange& exchange);
  FaultEntry NextRequestFault();
  std::span<const FaultEntry> AnswerChoices() const;
  // The answer frame, sent as the fault has it.
  void Answer(const FaultEntry& fault, uint8_t opcode, uint16_t fsn, std::string_view payload,
              const Exchange& exchange);
  void Send(const Exchange& exchange, std::string frame, uint32_t delay_ms = 0,
            std::optional<Ipv4Address> from = std::nullopt);

  DeviceModel& model_;
  Ipv4Address address_;
  Ipv4Address foreign_address_;
  DatagramQueue output_;
  FaultDice dice_;

  bool synced_ = false;
  std::optional<uint16_t> handled_fsn_;  // the last REQ carried out...
  std::string handled_reply_;            // ...and its REP payload
  bool resend_after_nak_ = false;        // the last REP went out with a bad checksum
};

// A device frame whose data checksum is off by one; the header checksum
// matches the wrong value, so only the data check finds it.
std::string WithBadDataChecksum(std::string frame);

}  // namespace veritor::sim
