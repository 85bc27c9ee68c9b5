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
  };
  std::vector<Datagram> sent;
  std::deque<Datagram> incoming;
  std::function<void(const Datagram& sent)> respond;
  int open_error = 0;
  int bind_error = 0;
  int send_error = 0;
  int connect_error = 0;
  bool peer_closed = false;
  std::string stream_in;  // bytes waiting on the stream

  void Queue(std::string bytes, Ipv4Address from) { incoming.push_back({std::move(bytes), from, 0}); }
};

class FakeDatagramSocket final : public DatagramSocket {
 public:
  explicit FakeDatagramSocket(FakeWire& wire) : wire_(wire) {}
  int Bind(Ipv4Address, uint16_t) override { return wire_.bind_error; }
  int EnableBroadcast() override { return 0; }
  int SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length, size_t& sent) override {
    if (wire_.send_error) return wire_.send_error;
    sent = length;
    FakeWire::Datagram datagram{std::string(static_cast<const char*>(data), length), address, port};
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

 private:
  FakeWire& wire_;
};

class FakeStreamSocket final : public StreamSocket {
 public:
  explicit FakeStreamSocket(FakeWire& wire) : wire_(wire) {}
  int StartConnect(Ipv4Address address, uint16_t port) override {
    address_ = address;
    port_ = port;
    return wire_.connect_error;
  }
  int CheckConnected(bool& connected) override {
    connected = true;
    return 0;
  }
  int Send(const void* data, size_t length, size_t& sent) override {
    if (wire_.send_error) return wire_.send_error;
    sent = length;
    FakeWire::Datagram chunk{std::string(static_cast<const char*>(data), length), address_, port_};
    wire_.sent.push_back(chunk);
    if (wire_.respond) wire_.respond(chunk);
    return 0;
  }
  int Pending(size_t& count) override {
    count = wire_.stream_in.size();
    return 0;
  }
  int Receive(void* buffer, size_t capacity, size_t& length) override {
    if (wire_.stream_in.empty()) {
      length = 0;
      return wire_.peer_closed ? 0 : 10035;
    }
    length = wire_.stream_in.copy(static_cast<char*>(buffer), capacity);
    wire_.stream_in.erase(0, length);
    return 0;
  }

 private:
  FakeWire& wire_;
  Ipv4Address address_ = 0;
  uint16_t port_ = 0;
};

class FakeNetwork final : public Network {
 public:
  explicit FakeNetwork(FakeWire& wire) : wire_(wire) {}
  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) override {
    if (wire_.open_error) return wire_.open_error;
    socket = std::make_unique<FakeDatagramSocket>(wire_);
    return 0;
  }
  int OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) override {
    if (wire_.open_error) return wire_.open_error;
    socket = std::make_unique<FakeStreamSocket>(wire_);
    return 0;
  }

 private:
  FakeWire& wire_;
};

}  // namespace veritor::test
