#include "sim/net_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>

#include <cerrno>
#include <cstring>

#include "net/ipv4_text.h"
#include "net/net_constants.h"
#include "net/sdnp_frame.h"

namespace veritor::sim {

namespace {

constexpr int kListenBacklog = 4;

sockaddr_in SocketAddress(Ipv4Address address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  return a;
}

std::string Reason(const std::string& what, Ipv4Address address, uint16_t port) {
  return what + " " + FormatIpv4(address) + ":" + std::to_string(port) + ": " + std::strerror(errno);
}

// A non-blocking socket bound to address:port with SO_REUSEADDR, or -1 with
// the reason.
int BoundSocket(int type, Ipv4Address address, uint16_t port, std::string& error) {
  const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Reason("socket for", address, port);
    return -1;
  }
  const int on = 1;
  const sockaddr_in a = SocketAddress(address, port);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    error = Reason("bind", address, port);
    close(fd);
    return -1;
  }
  return fd;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// SO_REUSEADDR lets a second datagram socket share address and port, and the
// two would split the console's datagrams between them. An abstract socket
// name, one per network namespace, keeps the address to one simulator, as a
// TCP listener is kept; -1 with the reason when another holds it.
int ClaimDatagramAddress(Ipv4Address address, uint16_t port, std::string& error) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  const std::string claim = "veritor-sim udp " + FormatIpv4(address) + ":" + std::to_string(port);
  std::memcpy(name.sun_path + 1, claim.data(), claim.size());
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + claim.size());
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&name), size) != 0) {
    error = Reason("bind", address, port);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// One received datagram with where it came from and where it was sent.
struct Received {
  Ipv4Address sender = 0;
  uint16_t sender_port = 0;
  Ipv4Address destination = 0;  // only where IP_PKTINFO is on
  size_t length = 0;
};

// Reads the next datagram into `buffer`; false when none is waiting.
bool ReceiveDatagram(int fd, std::vector<char>& buffer, Received& received) {
  sockaddr_in from{};
  iovec part{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
  if (n < 0) return false;
  received.sender = ntohl(from.sin_addr.s_addr);
  received.sender_port = ntohs(from.sin_port);
  received.length = static_cast<size_t>(n);
  received.destination = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      received.destination = ntohl(info.ipi_addr.s_addr);
    }
  }
  return true;
}

}  // namespace

class NetServer::Service {
 public:
  virtual ~Service() = default;
  virtual std::string Description() const = 0;
  virtual void AddPollFds(std::vector<pollfd>& fds) const = 0;
  virtual void OnReady(int fd, short events, uint32_t now_ms) = 0;
  virtual void SendDue(uint32_t now_ms) = 0;
  virtual std::optional<uint32_t> NextDue() const = 0;
};

namespace {

// What SDNP and UDP share: a socket that answers, a lazily opened one for
// answers from the foreign address, and the device's datagram queue.
class DatagramService : public NetServer::Service {
 public:
  DatagramService(Ipv4Address address, uint16_t port) : address_(address), port_(port) {}
  ~DatagramService() override {
    CloseFd(own_fd_);
    CloseFd(foreign_fd_);
    CloseFd(claim_fd_);
  }

  std::string Open() {
    std::string error;
    claim_fd_ = ClaimDatagramAddress(address_, port_, error);
    if (claim_fd_ < 0) return error;
    own_fd_ = BoundSocket(SOCK_DGRAM, address_, port_, error);
    return error;
  }

  void AddPollFds(std::vector<pollfd>& fds) const override { fds.push_back({own_fd_, POLLIN, 0}); }

  void OnReady(int fd, short events, uint32_t now_ms) override {
    if (fd != own_fd_) return;
    ClearError(fd, events);
    Received received;
    while (ReceiveDatagram(own_fd_, buffer_, received)) Deliver(received, now_ms);
  }

  void SendDue(uint32_t now_ms) override {
    std::vector<OutgoingDatagram> due;
    TakeDue(now_ms, due);
    for (const OutgoingDatagram& datagram : due) {
      const int fd = datagram.from == address_ ? own_fd_ : ForeignSocket(datagram.from);
      if (fd < 0) continue;
      const sockaddr_in to = SocketAddress(datagram.to, datagram.to_port);
      // A datagram that cannot go now is lost, as on any network.
      sendto(fd, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
  }

 protected:
  virtual void TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out) = 0;
  virtual void Hand(const Received& received, uint32_t now_ms) = 0;

  // A pending socket error would keep poll returning at once.
  static void ClearError(int fd, short events) {
    if ((events & POLLERR) == 0) return;
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  }

  void Deliver(const Received& received, uint32_t now_ms) {
    if (received.length <= buffer_.size()) Hand(received, now_ms);
  }
  std::string_view Bytes(const Received& received) const { return {buffer_.data(), received.length}; }

  Ipv4Address address_;
  uint16_t port_;
  int own_fd_ = -1;
  std::vector<char> buffer_ = std::vector<char>(kMaxDatagram + 1);

 private:
  int ForeignSocket(Ipv4Address from) {
    if (foreign_fd_ < 0 || foreign_address_ != from) {
      CloseFd(foreign_fd_);
      std::string ignored;
      foreign_fd_ = BoundSocket(SOCK_DGRAM, from, 0, ignored);
      foreign_address_ = from;
    }
    return foreign_fd_;
  }

  int foreign_fd_ = -1;
  Ipv4Address foreign_address_ = 0;
  int claim_fd_ = -1;
};

class SdnpService final : public DatagramService {
 public:
  SdnpService(DeviceModel& model, Ipv4Address address)
      : DatagramService(address, kSdnpPort), device_(model, address) {}
  ~SdnpService() override { CloseFd(broadcast_fd_); }

  std::string Open() {
    std::string error = DatagramService::Open();
    if (!error.empty()) return error;
    broadcast_fd_ = BoundSocket(SOCK_DGRAM, kAnyAddress, kSdnpPort, error);
    const int on = 1;
    if (broadcast_fd_ >= 0 && setsockopt(broadcast_fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
      error = Reason("IP_PKTINFO on", kAnyAddress, kSdnpPort);
    }
    return error;
  }

  std::string Description() const override { return "sdnp on " + FormatIpv4(address_) + ":24222"; }

  void AddPollFds(std::vector<pollfd>& fds) const override {
    DatagramService::AddPollFds(fds);
    fds.push_back({broadcast_fd_, POLLIN, 0});
  }

  void OnReady(int fd, short events, uint32_t now_ms) override {
    if (fd != broadcast_fd_) return DatagramService::OnReady(fd, events, now_ms);
    ClearError(fd, events);
    Received received;
    while (ReceiveDatagram(broadcast_fd_, buffer_, received)) {
      if (received.destination == kBroadcastAddress) Deliver(received, now_ms);
    }
  }

  std::optional<uint32_t> NextDue() const override { return device_.NextDue(); }
  SdnpDevice& device() { return device_; }

 private:
  void TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out) override { device_.TakeDue(now_ms, out); }
  void Hand(const Received& received, uint32_t now_ms) override {
    device_.OnDatagram(received.sender, received.sender_port, Bytes(received), now_ms);
  }

  SdnpDevice device_;
  int broadcast_fd_ = -1;
};

class UdpService final : public DatagramService {
 public:
  UdpService(DeviceModel& model, Ipv4Address address) : DatagramService(address, kUdpPort), device_(model, address) {}

  std::string Description() const override { return "udp on " + FormatIpv4(address_) + ":9101"; }
  std::optional<uint32_t> NextDue() const override { return device_.NextDue(); }
  UdpDevice& device() { return device_; }

 private:
  void TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out) override { device_.TakeDue(now_ms, out); }
  void Hand(const Received& received, uint32_t now_ms) override {
    device_.OnDatagram(received.sender, received.sender_port, Bytes(received), now_ms);
  }

  UdpDevice device_;
};

class TcpService final : public NetServer::Service {
 public:
  TcpService(DeviceModel& model, Ipv4Address address) : address_(address), device_(model) {}
  ~TcpService() override {
    CloseFd(connection_fd_);
    CloseFd(listen_fd_);
  }

  std::string Open() {
    std::string error;
    listen_fd_ = BoundSocket(SOCK_STREAM, address_, kTcpPort, error);
    if (listen_fd_ >= 0 && listen(listen_fd_, kListenBacklog) != 0) error = Reason("listen on", address_, kTcpPort);
    return error;
  }

  std::string Description() const override { return "tcp on " + FormatIpv4(address_) + ":24222"; }

  // While a console is served the listener is left alone, so the next
  // console waits in the backlog.
  void AddPollFds(std::vector<pollfd>& fds) const override {
    if (connection_fd_ < 0) {
      fds.push_back({listen_fd_, POLLIN, 0});
    } else {
      fds.push_back({connection_fd_, static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0});
    }
  }

  void OnReady(int fd, short events, uint32_t now_ms) override {
    if (fd == listen_fd_ && connection_fd_ < 0 && (events & POLLIN)) return Accept();
    if (fd != connection_fd_ || connection_fd_ < 0) return;
    if (events & POLLOUT) Flush();
    if (connection_fd_ >= 0 && (events & (POLLIN | POLLHUP | POLLERR))) ReadConsole(now_ms);
  }

  void SendDue(uint32_t now_ms) override {
    std::vector<StreamOutput> due;
    device_.TakeDue(now_ms, due);
    for (StreamOutput& output : due) {
      if (connection_fd_ < 0) return;
      if (output.kind == StreamOutput::Kind::kData) {
        unsent_ += output.bytes;
        Flush();
      } else {
        EndConnection(output.kind == StreamOutput::Kind::kReset);
      }
    }
  }

  std::optional<uint32_t> NextDue() const override { return device_.NextDue(); }
  TcpDevice& device() { return device_; }

 private:
  void Accept() {
    connection_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (connection_fd_ >= 0) device_.OnConnect();
  }

  void ReadConsole(uint32_t now_ms) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = recv(connection_fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        device_.OnBytes(std::string_view(chunk, static_cast<size_t>(n)), now_ms);
        if (connection_fd_ < 0) return;
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      return EndConnection(false);  // the console closed, or its connection failed
    }
  }

  void Flush() {
    if (!Write()) EndConnection(false);
  }

  // Sends what the socket takes now; false when the connection failed.
  bool Write() {
    while (!unsent_.empty()) {
      const ssize_t n = send(connection_fd_, unsent_.data(), unsent_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      if (n <= 0) return false;
      unsent_.erase(0, static_cast<size_t>(n));
    }
    return true;
  }

  // A reset closes with a zero linger, so the console sees RST, not FIN;
  // a close first hands over what is still unsent.
  void EndConnection(bool reset) {
    if (reset) {
      const linger abort{1, 0};
      setsockopt(connection_fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
      Write();
    }
    CloseFd(connection_fd_);
    unsent_.clear();
    device_.OnConnect();
  }

  Ipv4Address address_;
  TcpDevice device_;
  int listen_fd_ = -1;
  int connection_fd_ = -1;
  std::string unsent_;
};

template <typename ServiceType>
std::string OpenService(DeviceModel& model, Ipv4Address address,
                        std::vector<std::unique_ptr<NetServer::Service>>& services) {
  auto service = std::make_unique<ServiceType>(model, address);
  std::string error = service->Open();
  if (error.empty()) services.push_back(std::move(service));
  return error;
}

template <typename ServiceType, typename DeviceType>
std::vector<DeviceType*> DevicesOf(const std::vector<std::unique_ptr<NetServer::Service>>& services) {
  std::vector<DeviceType*> devices;
  for (const auto& service : services) {
    if (auto* typed = dynamic_cast<ServiceType*>(service.get())) devices.push_back(&typed->device());
  }
  return devices;
}

}  // namespace

NetServer::NetServer(DeviceModel& model) : model_(model) {}
NetServer::~NetServer() = default;

std::string NetServer::ServeSdnp(Ipv4Address address) { return OpenService<SdnpService>(model_, address, services_); }
std::string NetServer::ServeTcp(Ipv4Address address) { return OpenService<TcpService>(model_, address, services_); }
std::string NetServer::ServeUdp(Ipv4Address address) { return OpenService<UdpService>(model_, address, services_); }

std::vector<std::string> NetServer::Descriptions() const {
  std::vector<std::string> lines;
  for (const auto& service : services_) lines.push_back(service->Description());
  return lines;
}

std::vector<SdnpDevice*> NetServer::SdnpDevices() const { return DevicesOf<SdnpService, SdnpDevice>(services_); }
std::vector<TcpDevice*> NetServer::TcpDevices() const { return DevicesOf<TcpService, TcpDevice>(services_); }
std::vector<UdpDevice*> NetServer::UdpDevices() const { return DevicesOf<UdpService, UdpDevice>(services_); }

void NetServer::AddPollFds(std::vector<pollfd>& fds) const {
  for (const auto& service : services_) service->AddPollFds(fds);
}

void NetServer::OnPolled(std::span<const pollfd> fds, uint32_t now_ms) {
  for (const pollfd& polled : fds) {
    if (polled.revents == 0) continue;
    for (const auto& service : services_) service->OnReady(polled.fd, polled.revents, now_ms);
  }
}

void NetServer::SendDue(uint32_t now_ms) {
  for (const auto& service : services_) service->SendDue(now_ms);
}

std::optional<uint32_t> NetServer::NextDue() const {
  std::optional<uint32_t> earliest;
  for (const auto& service : services_) {
    const std::optional<uint32_t> due = service->NextDue();
    if (due && (!earliest || static_cast<int32_t>(*due - *earliest) < 0)) earliest = due;
  }
  return earliest;
}

}  // namespace veritor::sim
