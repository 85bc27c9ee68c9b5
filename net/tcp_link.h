#pragma once

#include <array>
#include <string>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// The TCP link: the request text and CR LF on a stream to port 24222 of
// the device; the reply is the bytes that come until the stream has been
// quiet for kReplyQuietMs, since the device frames it in no other way. A
// reply that the device cuts off by closing the stream, or that is longer
// than a reply can be, is not taken. Resending after a time-out is the only
// recovery; it goes on a new connection, so that a late answer to the
// attempt that timed out cannot be taken for a later request, and bytes that
// wait on the stream before a request are dropped.
class TcpLink final : public LinkTransaction {
 public:
  // How long a connect may take before it is given up.
  static constexpr uint32_t kConnectTimeoutMs = 3000;
  // Pieces of a reply that come closer together than this are one reply.
  static constexpr uint32_t kReplyQuietMs = 50;

  explicit TcpLink(NetLinks& links) : links_(links), host_(links.host()) {}

  int Transact(const std::string& request, std::string& reply, bool verbose) override;

  // 0 when the link stands (also when it already did), 1 when not.
  int TcpConnect(SdnpLink& link, Ipv4Address device, bool query);
  int TcpInit(Ipv4Address device);
  void TcpClose();
  int TcpRequest(const std::string& request, std::string& reply);

 private:
  enum class Intake { kNothing, kBytes, kClosed };

  int AwaitConnection();
  void SendFrame(const std::string& frame);
  // Takes in what is pending without waiting, after what came before.
  int TcpPoll(Intake& intake);
  int AwaitFirstBytes(bool& answered);
  int DiscardWaiting();
  // Logs the close, closes the link and gives 1.
  int DeviceClosed();
  int CollectReply(std::string& reply);

  NetLinks& links_;
  Host& host_;
  // The reply under way; bytes past the longest reply are counted and dropped.
  std::array<char, kMaxReplyText> receive_buffer_{};
  size_t received_ = 0;
  size_t dropped_ = 0;
  Ipv4Address device_ = 0;
};

}  // namespace veritor
