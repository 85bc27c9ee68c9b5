#pragma once

#include <string>
#include <vector>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// SDNP over the shared datagram socket: frames to UDP port 24222 of the
// device, device detection by broadcast, and numbered sessions that carry
// one request and its reply at a time. Every operation returns 0 for
// success, 1 when a socket call failed (already logged with the error's
// name) or 2 when the device did not answer in time.
class SdnpSession final : public LinkTransaction {
 public:
  // The console's detection list holds this many addresses.
  static constexpr size_t kMaxDetected = 100;

  // `record` is the console's link record, which SdnpRequest works on.
  SdnpSession(NetLinks& links, SdnpLink& record) : links_(links), host_(links.host()), record_(record) {}

  int Transact(const std::string& request, std::string& reply, bool verbose) override;

  int SdnpInit();
  void SdnpClose();
  int SdnpConnect(SdnpLink& link, Ipv4Address device, bool query);
  int SdnpQuery(SdnpLink& link);
  // The distinct devices that answered a broadcast query, in the order of
  // their first answers; at most kMaxDetected of them.
  int SdnpDetect(std::vector<Ipv4Address>& devices);
  int SdnpSync(SdnpLink& link);
  int SdnpRequest(SdnpLink& link, const std::string& request, std::string& reply);

  // Sends tx with a fresh header; the payload is already in place.
  int SdnpSend(SdnpLink& link, uint8_t opcode, uint8_t reserved, uint16_t fsn, uint16_t length);
  // Takes in at most one valid frame into rx without waiting; `taken` says
  // whether one came. Invalid datagrams before it are consumed and logged.
  int SdnpReceive(SdnpLink& link, bool& taken);
  static bool SdnpDataChecksumOk(const uint8_t* frame);
  void SdnpLogFrame(const uint8_t* frame, bool incoming, Ipv4Address peer);

 private:
  enum class Intake { kFrame, kDiscarded, kNone };
  int ReceiveOne(SdnpLink& link, Intake& intake);
  bool FrameIsValid(SdnpLink& link, size_t size, Ipv4Address sender);
  bool SocketReady();
  int InitIfNeeded();
  // One turn of a wait: pump, then take in a frame.
  int WaitTurn(SdnpLink& link, bool& taken);
  bool Verbose() const { return host_.state.VerboseFlag; }
  int AwaitReply(SdnpLink& link, std::string& reply, bool& restart, bool& resync);

  NetLinks& links_;
  Host& host_;
  SdnpLink& record_;
};

}  // namespace veritor
