#pragma once

#include <array>
#include <string>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// The UDP link: serial-style packets (STX, text, "/", two checksum digits,
// ETX) in datagrams to port 9101 of the device, with single-byte control
// datagrams: ENQ, answered by ACK, before every request; ACK or NAK (0x16)
// after every reply packet; 0x10 from the device asks for a new sync.
// Reply packets carry no sequence number. Datagrams waiting before a request
// are dropped, since they answer earlier ones; after that the first good
// reply packet is taken, and an ACK byte in the wait (some devices ACK the
// request packet, some do not, some late) is passed over. A late answer to
// an earlier request that comes after the request went out cannot be told
// from the reply: the protocol has no way to, and dropping replies that look
// like earlier ones would drop genuine replies and make the device execute
// requests twice.
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
  // Opens the socket for the device at `device`.
  int UdpInit(Ipv4Address device);
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
  int AwaitReply(SdnpLink& link, std::string& reply, Outcome& outcome);
  int WaitTurn(SdnpLink& link, bool& taken);
  int DiscardWaiting(SdnpLink& link);
  int AwaitOwedAnswers(SdnpLink& link);

  NetLinks& links_;
  Host& host_;
  SdnpLink& record_;
  std::array<uint8_t, kMaxDatagram> rx_{};
  size_t rx_length_ = 0;
  int rx_kind_ = 0;
  int taken_since_pump_ = 0;
  unsigned owed_answers_ = 0;  // sendings of the last request that timed out
  TickTimer owed_until_;
  Ipv4Address socket_device_ = 0;  // the device the open socket was bound for
};

}  // namespace veritor
