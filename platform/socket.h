#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veritor {

// An IPv4 address as a number in host order: 127.0.0.2 is 0x7F000002.
using Ipv4Address = uint32_t;
inline constexpr Ipv4Address kAnyAddress = 0;
inline constexpr Ipv4Address kBroadcastAddress = 0xFFFFFFFF;

// Every call returns 0 for success or a Windows Sockets error code (10035
// for EWOULDBLOCK, 10061 for ECONNREFUSED, ...), so that failures read in
// the log by the names the operators know. No call ever blocks.
class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  // Binds with SO_REUSEADDR, so that a device on 127.0.0.N can share a port.
  virtual int Bind(Ipv4Address address, uint16_t port) = 0;
  // Binds without sharing: a second socket on the same address and port, or
  // on any address and that port, is refused with EADDRINUSE.
  virtual int BindExclusive(Ipv4Address address, uint16_t port) { return Bind(address, port); }
  virtual int EnableBroadcast() = 0;
  virtual int SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length, size_t& sent) = 0;
  // Whether a datagram is pending and its size; an empty datagram is pending
  // with size 0.
  virtual int NextDatagram(bool& pending, size_t& size) = 0;
  // Takes the next datagram whole: at most `capacity` bytes are stored and
  // the rest is dropped; `length` is its true size.
  virtual int ReceiveFrom(void* buffer, size_t capacity, size_t& length, Ipv4Address& sender) = 0;
  // Readable when a datagram arrives, or -1.
  virtual int WaitHandle() const { return -1; }
};

class StreamSocket {
 public:
  virtual ~StreamSocket() = default;
  // Starts connecting to the address itself (no name lookup).
  virtual int StartConnect(Ipv4Address address, uint16_t port) = 0;
  // `connected` becomes true once the connection stands; a failed connect
  // returns its error code.
  virtual int CheckConnected(bool& connected) = 0;
  // A peer that has gone never raises a signal; its error is returned.
  virtual int Send(const void* data, size_t length, size_t& sent) = 0;
  virtual int Pending(size_t& count) = 0;
  // Takes up to `capacity` bytes; 0 bytes with result 0 means the peer closed.
  virtual int Receive(void* buffer, size_t capacity, size_t& length) = 0;
  virtual int WaitHandle() const { return -1; }
};

// An IPv4 network this machine is on, as one of its interfaces holds it.
struct LocalNetwork {
  std::string interface;
  Ipv4Address address = kAnyAddress;
  // The address that reaches every host of the network; kAnyAddress for a
  // network too small to have one (/31, /32).
  Ipv4Address broadcast = kAnyAddress;
  bool can_broadcast = false;  // up, broadcast-capable, not the loopback
};

// Opens sockets; what Windows Sockets was to the original.
class Network {
 public:
  virtual ~Network() = default;
  // Where WSAStartup stood; 0 or an error code.
  virtual int Startup() { return 0; }
  virtual int OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) = 0;
  virtual int OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) = 0;
  // The local address that datagrams to `device` leave from, by the routing
  // table; kAnyAddress where the network has no such notion.
  virtual int LocalAddressFor(Ipv4Address /*device*/, uint16_t /*port*/, Ipv4Address& local) {
    local = kAnyAddress;
    return 0;
  }
  // The networks of the interfaces that are up; none where the network has
  // no such notion.
  virtual std::vector<LocalNetwork> LocalNetworks() { return {}; }
};

}  // namespace veritor
