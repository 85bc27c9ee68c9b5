#pragma once

#include <array>
#include <string>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// The TCP link: the request text and CR LF on a stream to port 24222 of
// the device; the bytes pending at the first poll that finds any are the
// reply. Resending after a time-out is the only recovery.
class TcpLink final : public LinkTransaction {
 public:
  // How long a connect may take before it is given up.
  static constexpr uint32_t kConnectTimeoutMs = 3000;

  explicit TcpLink(NetLinks& links) : links_(links), host_(links.host()) {}

  int Transact(const std::string& request, std::string& reply, bool verbose) override;

  // 0 when the link stands (also when it already did), 1 when not.
  int TcpConnect(SdnpLink& link, Ipv4Address device, bool query);
  int TcpInit(Ipv4Address device);
  void TcpClose();
  int TcpRequest(const std::string& request, std::string& reply);
  // Takes in what is pending without waiting; `taken` says whether any came.
  int TcpPoll(bool& taken);

 private:
  int AwaitConnection();
  void SendFrame(const std::string& frame);

  NetLinks& links_;
  Host& host_;
  // TcpReceiveBuffer: the bytes of the last read; a reply longer than a
  // reply can be is taken in pieces.
  std::array<char, kMaxReplyText> receive_buffer_{};
  size_t received_ = 0;
};

}  // namespace veritor
