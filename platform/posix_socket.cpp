#include "platform/posix_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace veritor {
namespace {

static_assert(EWOULDBLOCK == EAGAIN, "one row serves both");

struct ErrnoRow {
  int err;
  int wsa;
};

constexpr ErrnoRow kErrnoTable[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {EAGAIN, 10035},          {EINPROGRESS, 10036},     {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},      {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},      {EPIPE, 10054},
    {ENOBUFS, 10055},         {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    {EUSERS, 10068},          {EDQUOT, 10069},          {ESTALE, 10070},
    {EREMOTE, 10071},
};

int LastError() { return WsaErrorFromErrno(errno); }

sockaddr_in MakeAddress(Ipv4Address address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  return a;
}

int SetFlag(int fd, int option) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) == 0 ? 0 : LastError();
}

// A new IPv4 socket of the given type, or -1 with errno set.
int OpenDescriptor(int type) { return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

int WsaErrorFromErrno(int err) {
  if (err == 0) return 0;
  for (const auto& row : kErrnoTable) {
    if (row.err == err) return row.wsa;
  }
  return kUnknownErrnoBase + err;
}

PosixDatagramSocket::~PosixDatagramSocket() { close(fd_); }

int PosixDatagramSocket::Bind(Ipv4Address address, uint16_t port) {
  if (int error = SetFlag(fd_, SO_REUSEADDR)) return error;
  sockaddr_in a = MakeAddress(address, port);
  return bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : LastError();
}

int PosixDatagramSocket::BindExclusive(Ipv4Address address, uint16_t port) {
  sockaddr_in a = MakeAddress(address, port);
  return bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : LastError();
}

int PosixDatagramSocket::EnableBroadcast() { return SetFlag(fd_, SO_BROADCAST); }

int PosixDatagramSocket::SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length,
                                size_t& sent) {
  sent = 0;
  sockaddr_in a = MakeAddress(address, port);
  ssize_t n = sendto(fd_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&a),
                     sizeof a);
  if (n < 0) return LastError();
  sent = static_cast<size_t>(n);
  return 0;
}

// FIONREAD cannot tell an empty datagram from an empty queue; a peek with
// MSG_TRUNC gives the next datagram's true size, or EAGAIN for none. A queued
// socket error comes back from the peek once and is cleared by it.
int PosixDatagramSocket::NextDatagram(bool& pending, size_t& size) {
  pending = false;
  size = 0;
  char probe;
  ssize_t n = recv(fd_, &probe, sizeof probe, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN ? 0 : LastError();
  pending = true;
  size = static_cast<size_t>(n);
  return 0;
}

int PosixDatagramSocket::ReceiveFrom(void* buffer, size_t capacity, size_t& length, Ipv4Address& sender) {
  length = 0;
  sender = kAnyAddress;
  sockaddr_in from{};
  iovec part{buffer, capacity};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t n = recvmsg(fd_, &message, MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) return LastError();
  length = static_cast<size_t>(n);
  if (from.sin_family == AF_INET) sender = ntohl(from.sin_addr.s_addr);
  return 0;
}

PosixStreamSocket::~PosixStreamSocket() { close(fd_); }

int PosixStreamSocket::StartConnect(Ipv4Address address, uint16_t port) {
  connect_error_ = 0;
  sockaddr_in a = MakeAddress(address, port);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 || errno == EINPROGRESS) return 0;
  return connect_error_ = LastError();
}

bool PosixStreamSocket::PeerKnown() const {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  return getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
}

// While the handshake runs the socket is neither writable nor hung up.
bool PosixStreamSocket::ConnectUnderWay() const {
  pollfd p{fd_, POLLOUT, 0};
  return poll(&p, 1, 0) <= 0;
}

// A fresh or failed socket also polls writable and has SO_ERROR 0 once the
// error has been read, so success is only taken from a known peer.
int PosixStreamSocket::CheckConnected(bool& connected) {
  connected = false;
  if (connect_error_ != 0) return connect_error_;
  if (PeerKnown()) {
    connected = true;
    return 0;
  }
  if (ConnectUnderWay()) return 0;
  int err = 0;
  socklen_t size = sizeof err;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &size) != 0) err = errno;
  if (err != 0) return connect_error_ = WsaErrorFromErrno(err);
  // The handshake may have finished between the first look and the poll.
  connected = PeerKnown();
  if (connected) return 0;
  return connect_error_ = WsaErrorFromErrno(ENOTCONN);
}

int PosixStreamSocket::Send(const void* data, size_t length, size_t& sent) {
  sent = 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (sent < length) {
    ssize_t n = send(fd_, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN && sent > 0 ? 0 : LastError();
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int PosixStreamSocket::Pending(size_t& count) {
  count = 0;
  int queued = 0;
  if (ioctl(fd_, FIONREAD, &queued) != 0) return LastError();
  count = static_cast<size_t>(queued);
  return 0;
}

int PosixStreamSocket::Receive(void* buffer, size_t capacity, size_t& length) {
  length = 0;
  if (capacity == 0) return WsaErrorFromErrno(EINVAL);
  ssize_t n = recv(fd_, buffer, capacity, MSG_DONTWAIT);
  if (n < 0) return LastError();
  length = static_cast<size_t>(n);
  return 0;
}

int PosixNetwork::OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) {
  int fd = OpenDescriptor(SOCK_DGRAM);
  if (fd < 0) return LastError();
  socket = std::make_unique<PosixDatagramSocket>(fd);
  return 0;
}

int PosixNetwork::OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) {
  int fd = OpenDescriptor(SOCK_STREAM);
  if (fd < 0) return LastError();
  socket = std::make_unique<PosixStreamSocket>(fd);
  return 0;
}

int PosixNetwork::LocalAddressFor(Ipv4Address device, uint16_t port, Ipv4Address& local) {
  local = kAnyAddress;
  const int fd = OpenDescriptor(SOCK_DGRAM);
  if (fd < 0) return LastError();
  // A broadcast destination is only routed for a socket that may broadcast.
  int error = SetFlag(fd, SO_BROADCAST);
  sockaddr_in a = MakeAddress(device, port);
  if (error == 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) error = LastError();
  sockaddr_in mine{};
  socklen_t size = sizeof mine;
  if (error == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &size) != 0) error = LastError();
  if (error == 0) local = ntohl(mine.sin_addr.s_addr);
  close(fd);
  return error;
}

std::vector<LocalNetwork> PosixNetwork::LocalNetworks() {
  std::vector<LocalNetwork> networks;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return networks;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || entry->ifa_netmask == nullptr) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    LocalNetwork network;
    network.interface = entry->ifa_name;
    network.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    const Ipv4Address mask = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    // The kernel routes this address as the network's broadcast whatever
    // the interface was given as its own (often nothing, or the address).
    if ((~mask) > 1) network.broadcast = network.address | ~mask;
    network.can_broadcast = (entry->ifa_flags & IFF_BROADCAST) != 0 && (entry->ifa_flags & IFF_LOOPBACK) == 0 &&
                            network.broadcast != kAnyAddress;
    networks.push_back(network);
  }
  freeifaddrs(list);
  return networks;
}

}  // namespace veritor
