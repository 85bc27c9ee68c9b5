#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace veritor::test {

// A scripted network: every datagram or stream chunk the console sends is
// recorded and handed to `respond`, which may queue answers; the console
// takes in what is queued. Nothing waits, so tests run on a virtual clock.
struct FakeWire {
  struct Datagram {
    std::string bytes;
    Ipv4Address peer = 0;  // destination of a sent datagram, sender of a queued one
    uint16_t port = 0;
    uint16_t from_port = 0;  // of a sent datagram: the port its socket was bound to
  };
  std::vector<Datagram> sent;
  std::deque<Datagram> incoming;
  std::function<void(const Datagram& sent)> respond;
  int bind_error = 0;
  int send_error = 0;
  bool peer_closed = false;  // the device closed the last connection made
  bool peer_reset = false;   // the device reset it: reads then fail with ECONNRESET
  std::string stream_in;  // bytes waiting on the stream

  void Queue(std::string bytes, Ipv4Address from) { incoming.push_back({std::move(bytes), from, 0}); }
};

// A socket of either kind on the wire; a stream connects at once and sends
// its chunks as datagrams to the address it connected to.
class FakeSocket final : public DatagramSocket, public StreamSocket {
 public:
  explicit FakeSocket(FakeWire& wire) : wire_(wire) {}
  int Bind(Ipv4Address, uint16_t port) override {
    local_port_ = port;
    return wire_.bind_error;
  }
  int EnableBroadcast() override { return 0; }
  int SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length, size_t& sent) override {
    if (wire_.send_error) return wire_.send_error;
    sent = length;
    FakeWire::Datagram datagram{std::string(static_cast<const char*>(data), length), address, port, local_port_};
    wire_.sent.push_back(datagram);
    if (wire_.respond) wire_.respond(datagram);
    return 0;
  }
  int NextDatagram(bool& pending, size_t& size) override {
    pending = !wire_.incoming.empty();
    size = pending ? wire_.incoming.front().bytes.size() : 0;
    return 0;
  }
  int ReceiveFrom(void* buffer, size_t capacity, size_t& length, Ipv4Address& sender) override {
    if (wire_.incoming.empty()) return 10035;
    const FakeWire::Datagram datagram = wire_.incoming.front();
    wire_.incoming.pop_front();
    length = datagram.bytes.size();
    sender = datagram.peer;
    datagram.bytes.copy(static_cast<char*>(buffer), std::min(capacity, length));
    return 0;
  }

  int StartConnect(Ipv4Address address, uint16_t port) override {
    address_ = address;
    port_ = port;
    return 0;
  }
  int CheckConnected(bool& connected) override {
    connected = true;
    return 0;
  }
  int Send(const void* data, size_t length, size_t& sent) override {
    return SendTo(address_, port_, data, length, sent);
  }
  int Pending(size_t& count) override {
    count = wire_.stream_in.size();
    return 0;
  }
  // Nothing to take: would block, or 0 bytes once the peer closed.
  int Receive(void* buffer, size_t capacity, size_t& length) override {
    if (wire_.peer_reset && wire_.stream_in.empty()) return 10054;
    length = wire_.stream_in.copy(static_cast<char*>(buffer), capacity);
    wire_.stream_in.erase(0, length);
    return length == 0 && !wire_.peer_closed ? 10035 : 0;
  }

 private:
  FakeWire& wire_;
  Ipv4Address address_ = 0;
  uint16_t port_ = 0;
  uint16_t local_port_ = 0;
};

struct FakeNetwork final : Network {
  explicit FakeNetwork(FakeWire& wire) : wire(wire) {}
  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) override {
    socket = std::make_unique<FakeSocket>(wire);
    ++datagrams_opened;
    return 0;
  }
  int OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) override {
    socket = std::make_unique<FakeSocket>(wire);
    wire.peer_closed = wire.peer_reset = false;  // a new connection stands until the device ends it
    wire.send_error = 0;
    ++streams_opened;
    return 0;
  }
  FakeWire& wire;
  int datagrams_opened = 0;
  int streams_opened = 0;
};

}  // namespace veritor::test
