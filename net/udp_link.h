#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// The UDP link: serial-style packets (STX, text, "/", two checksum digits,
// ETX) in datagrams to port 9101 of the device, with single-byte control
// datagrams: ENQ, answered by ACK, before every request; ACK or NAK (0x16)
// after every reply packet; 0x10 from the device asks for a new sync.
// Reply packets carry no sequence number: a device that has been seen to
// ACK request packets has its reply packets taken only after the ACK of the
// request, since one that comes before it answers an earlier request. An
// attempt that timed out may still be answered late; such a copy of a reply
// already delivered is dropped, once per timed-out attempt, for a while.
class UdpLink final : public LinkTransaction {
 public:
  // The longest reply packet taken: the longest reply text and its framing.
  static constexpr size_t kMaxDatagram = kMaxReplyText + 5;
  // The kind of a datagram that is not a single byte.
  static constexpr int kReplyPacket = 0x100;

  // `record` is the console's link record, which UdpRequest works on.
  UdpLink(NetLinks& links, SdnpLink& record) : links_(links), host_(links.host()), record_(record) {}

  int Transact(const std::string& request, std::string& reply, bool verbose) override;

  int UdpConnect(SdnpLink& link, Ipv4Address device, bool query);
  int UdpInit();
  void UdpClose();
  int UdpRequest(SdnpLink& link, const std::string& request, std::string& reply);
  int UdpSync(SdnpLink& link);
  // One byte for ENQ, ACK and NAK; a request packet of `request` otherwise.
  int UdpSend(SdnpLink& link, int kind, const std::string& request = {});
  // Takes in at most one datagram from the device without waiting.
  int UdpReceive(SdnpLink& link, bool& taken);
  bool UdpReplyChecksumOk() const;

 private:
  enum class Outcome { kReply, kTimeout, kResend, kResync };
  // Copies of a delivered reply that attempts which timed out may still bring.
  struct LateCopies {
    std::string reply;
    unsigned count = 0;
    TickTimer watch;
  };
  int AwaitReply(SdnpLink& link, std::string& reply, Outcome& outcome);
  int WaitTurn(SdnpLink& link, bool& taken);
  void ExpectLateCopies(const std::string& reply, unsigned timed_out_attempts);
  bool IsLateCopy(std::string_view reply);

  NetLinks& links_;
  Host& host_;
  SdnpLink& record_;
  std::array<uint8_t, kMaxDatagram> rx_{};
  size_t rx_length_ = 0;
  int rx_kind_ = 0;
  bool device_acks_requests_ = false;
  std::vector<LateCopies> late_copies_;
};

}  // namespace veritor
