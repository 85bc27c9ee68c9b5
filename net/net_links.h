#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/host.h"
#include "core/tick_timer.h"
#include "net/sdnp_frame.h"
#include "platform/socket.h"

namespace veritor {

// The state of one conversation with a network device. The console keeps
// one for the open link and zeroes it before every connect; detection uses
// one of its own.
struct SdnpLink {
  bool synced = false;
  Ipv4Address device_ip = 0;  // all ones: broadcast, and answers from anyone
  Ipv4Address peer_ip = 0;    // sender of the last frame that passed the address check
  TickTimer idle_timer;
  uint16_t fsn = 0;
  std::array<uint8_t, kSdnpMaxFrame> rx{};
  size_t rx_size = 0;
  std::array<uint8_t, kSdnpMaxFrame> tx{};
};

// What the three network links share: the one socket (a datagram socket for
// SDNP and UDP, a stream for TCP), the flags that say who set it up, and the
// pseudo-random generator of the sequence numbers, which is never seeded so
// that its numbers repeat from run to run.
class NetLinks {
 public:
  NetLinks(Host& host, Network& network) : host_(host), network_(network) {}
  ~NetLinks() { CloseNetSocket(); }
  NetLinks(const NetLinks&) = delete;
  NetLinks& operator=(const NetLinks&) = delete;

  Host& host() { return host_; }
  Network& network() { return network_; }

  // Replace the socket (the old one, if any, is closed first).
  void SetDatagramSocket(std::unique_ptr<DatagramSocket> socket);
  void SetStreamSocket(std::unique_ptr<StreamSocket> socket);
  DatagramSocket* datagram() { return datagram_.get(); }
  StreamSocket* stream() { return stream_.get(); }
  void CloseNetSocket();
  // Starts the sockets layer and makes a datagram socket, bound to `port` on
  // any address with broadcast sending on, the one socket. Failures are
  // logged as "<prefix>: ..." and give 1; the caller then closes its link.
  int OpenBroadcastSocket(const char* prefix, uint16_t port);
  // The same, but bound without sharing to the local address that routes to
  // `device`: a second program that wants the port on that address gets
  // EADDRINUSE instead of a share of the replies, while devices on other
  // addresses of the machine may use the same port.
  int OpenDeviceSocket(const char* prefix, Ipv4Address device, uint16_t port);

  // Why no link may send to `device` (every device, or none, would get it),
  // or empty when it may: 255.255.255.255, 0.x.x.x, and the broadcast
  // address of a network this machine is on.
  std::string WhyNotADevice(Ipv4Address device);
  // Where a detection's query goes: the broadcast address of every network
  // whose interface can broadcast, else 255.255.255.255.
  std::vector<Ipv4Address> DetectionTargets();

  // 0 to 32767.
  uint16_t Random() { return static_cast<uint16_t>(random_() % 32768u); }

  bool NetInitialized = false;  // set up by SDNP or TCP
  bool UdpInitialized = false;  // set up by UDP

 private:
  enum class Sharing { kShared, kExclusive };
  int OpenDatagram(const char* prefix, Ipv4Address local, uint16_t port, Sharing sharing);
  void Watch(int fd);
  void Unwatch();

  Host& host_;
  Network& network_;
  std::unique_ptr<DatagramSocket> datagram_;
  std::unique_ptr<StreamSocket> stream_;
  int watched_fd_ = -1;
  std::minstd_rand0 random_;
};

// A request as the "Sending '%s'" line shows it: 40 characters or more are
// cut to 40 and "...", every character below 0x20 shows as '.'.
std::string ShownRequest(const std::string& request);

// Answers that restart a request without counting as an attempt (NAK, RST,
// resync) are allowed this many times per request; a device that keeps
// sending them would otherwise hold the request for ever.
inline constexpr unsigned kMaxRequestRestarts = 16;

}  // namespace veritor
