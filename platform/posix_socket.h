#pragma once

#include "platform/socket.h"

namespace veritor {

// Codes for errno values that Windows Sockets has no name for: kept clear of
// the name table so that the log shows them as "Unknown 0x1000C" (ENOMEM)
// rather than as some unrelated Windows Sockets error.
inline constexpr int kUnknownErrnoBase = 0x10000;

// The Windows Sockets code for an errno from a socket call; 0 stays 0.
// EPIPE becomes ECONNRESET (10054): the console never shuts down its own
// side, so EPIPE only follows a reset from the peer, which Windows Sockets
// reports as ECONNRESET. Anything without a counterpart becomes
// kUnknownErrnoBase + errno.
int WsaErrorFromErrno(int err);

// A non-blocking UDP socket over IPv4.
class PosixDatagramSocket final : public DatagramSocket {
 public:
  // Takes over an open SOCK_DGRAM descriptor.
  explicit PosixDatagramSocket(int fd) : fd_(fd) {}
  ~PosixDatagramSocket() override;
  PosixDatagramSocket(const PosixDatagramSocket&) = delete;
  PosixDatagramSocket& operator=(const PosixDatagramSocket&) = delete;

  int Bind(Ipv4Address address, uint16_t port) override;
  int BindExclusive(Ipv4Address address, uint16_t port) override;
  int EnableBroadcast() override;
  int SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length, size_t& sent) override;
  int NextDatagram(bool& pending, size_t& size) override;
  int ReceiveFrom(void* buffer, size_t capacity, size_t& length, Ipv4Address& sender) override;
  int WaitHandle() const override { return fd_; }

 private:
  int fd_;
};

// A non-blocking TCP connection over IPv4.
class PosixStreamSocket final : public StreamSocket {
 public:
  // Takes over an open SOCK_STREAM descriptor.
  explicit PosixStreamSocket(int fd) : fd_(fd) {}
  ~PosixStreamSocket() override;
  PosixStreamSocket(const PosixStreamSocket&) = delete;
  PosixStreamSocket& operator=(const PosixStreamSocket&) = delete;

  int StartConnect(Ipv4Address address, uint16_t port) override;
  // Before StartConnect: ENOTCONN. A failed connect keeps returning its
  // error on every later call; it is never taken back for success.
  int CheckConnected(bool& connected) override;
  // Sends as much as the socket takes now. Part sent: 0 with `sent` below
  // `length`; nothing taken: EWOULDBLOCK.
  int Send(const void* data, size_t length, size_t& sent) override;
  int Pending(size_t& count) override;
  // A capacity of 0 is refused with EINVAL, since recv would then return 0
  // bytes and read as the peer closing.
  int Receive(void* buffer, size_t capacity, size_t& length) override;
  int WaitHandle() const override { return fd_; }

 private:
  bool PeerKnown() const;
  bool ConnectUnderWay() const;
  int fd_;
  int connect_error_ = 0;
};

// Opens IPv4 sockets, non-blocking and closed on exec.
class PosixNetwork final : public Network {
 public:
  int Startup() override { return 0; }
  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) override;
  int OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) override;
  // Connects a throwaway datagram socket to the device and reads back the
  // address the kernel chose for it; nothing is sent.
  int LocalAddressFor(Ipv4Address device, uint16_t port, Ipv4Address& local) override;
  std::vector<LocalNetwork> LocalNetworks() override;
};

}  // namespace veritor
