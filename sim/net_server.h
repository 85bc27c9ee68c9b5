#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "sim/device_model.h"
#include "sim/sdnp_device.h"
#include "sim/tcp_device.h"
#include "sim/udp_device.h"

namespace veritor::sim {

// The network links of veritor-sim on real sockets, every service over the
// one DeviceModel that the serial link uses too. Nothing blocks: the caller
// polls the descriptors from AddPollFds, with NextDue as its time-out, and
// hands the result to OnPolled, then calls SendDue.
//
// SDNP on address A: one socket bound to 0.0.0.0:24222 hears broadcasts
// (only datagrams sent to 255.255.255.255 are taken from it, so that two
// simulators sharing it never answer what was meant for the other), one bound
// to A:24222 hears unicast and sends every answer. UDP: one socket bound to
// A:9101. Both with SO_REUSEADDR, which the console's sockets set too.
// Answers "from another address" leave from a socket bound to the device's
// foreign address. TCP: a listener on A:24222 serving one connection at a
// time; the next is accepted after it closes.
class NetServer {
 public:
  explicit NetServer(DeviceModel& model);
  ~NetServer();
  NetServer(const NetServer&) = delete;
  NetServer& operator=(const NetServer&) = delete;

  // Each opens one service's sockets: "" or why it failed.
  std::string ServeSdnp(Ipv4Address address);
  std::string ServeTcp(Ipv4Address address);
  std::string ServeUdp(Ipv4Address address);

  // "sdnp on 127.0.0.2:24222", one a service, in the order they were opened.
  std::vector<std::string> Descriptions() const;
  std::vector<SdnpDevice*> SdnpDevices() const;
  std::vector<TcpDevice*> TcpDevices() const;
  std::vector<UdpDevice*> UdpDevices() const;

  void AddPollFds(std::vector<pollfd>& fds) const;
  void OnPolled(std::span<const pollfd> fds, uint32_t now_ms);
  void SendDue(uint32_t now_ms);
  std::optional<uint32_t> NextDue() const;

  class Service;

 private:
  DeviceModel& model_;
  std::vector<std::unique_ptr<Service>> services_;
};

}  // namespace veritor::sim
