#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_pump.h"
#include "platform/socket.h"
#include "platform/tick_clock.h"
#include "sim/device_model.h"
#include "sim/sdnp_device.h"
#include "sim/tcp_device.h"
#include "sim/udp_device.h"

namespace veritor::sim {

// One datagram, or one piece of a stream, on the in-memory wire.
struct WireRecord {
  enum class Kind { kDatagram, kStream, kStreamClosed, kStreamReset };
  uint32_t tick = 0;
  Kind kind = Kind::kDatagram;
  bool from_console = false;
  Ipv4Address from = 0;
  uint16_t from_port = 0;
  Ipv4Address to = 0;
  uint16_t to_port = 0;
  std::string bytes;
};

struct InProcessNetCore;
class InProcessNetFacade;

// Simulated network devices on an in-memory network, driven by a virtual
// clock. The console opens its sockets through network(), as 127.0.0.1, and
// waits through pump(): each turn settles pending connects, lets every device
// act on what reached it, delivers what the devices have due, and advances
// the clock by 1 ms.
//
// Datagram sockets bind to 0.0.0.0 or 127.0.0.1 (port 0: an ephemeral port
// from 49152); a datagram to 255.255.255.255 needs EnableBroadcast and reaches
// every device listening on its port. An answer reaches the newest open
// console socket bound to its port. Stream sockets connect to a TCP device's
// port 24222; a connect to a loopback address where none listens is refused
// (10061), one elsewhere times out after kConnectTimeoutMs (10060). A device
// serves one connection at a time; later ones stand and wait their turn.
// Every error is a Windows Sockets code.
//
// Each address is one device with one DeviceModel, shared by the links added
// at that address. Sockets may outlive the network harmlessly.
class InProcessNetwork {
 public:
  static constexpr Ipv4Address kConsoleAddress = 0x7F000001;
  static constexpr uint32_t kConnectTimeoutMs = 21000;

  explicit InProcessNetwork(VirtualTickClock& clock);
  ~InProcessNetwork();
  InProcessNetwork(const InProcessNetwork&) = delete;
  InProcessNetwork& operator=(const InProcessNetwork&) = delete;

  Network& network();
  MessagePump& pump();

  // Adding a link twice at one address gives the same device.
  SdnpDevice& AddSdnpDevice(Ipv4Address address);
  TcpDevice& AddTcpDevice(Ipv4Address address);
  UdpDevice& AddUdpDevice(Ipv4Address address);
  DeviceModel& ModelAt(Ipv4Address address);

  // Everything sent, in order, for byte-for-byte checks.
  const std::vector<WireRecord>& Wire() const;
  void ClearWire();

  // Puts a datagram of any size up to 65,507 bytes from any address straight
  // into the newest open bound console datagram socket; false when there is
  // none or the datagram is too large.
  bool InjectDatagram(Ipv4Address from, uint16_t from_port, std::string bytes);

 private:
  std::shared_ptr<InProcessNetCore> core_;
  std::unique_ptr<InProcessNetFacade> facade_;
};

}  // namespace veritor::sim
