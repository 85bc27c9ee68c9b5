#include "net/net_links.h"

#include <algorithm>

#include "core/results.h"
#include "net/ipv4_text.h"
#include "net/socket_errors.h"

namespace veritor {

void NetLinks::Watch(int fd) {
  Unwatch();
  if (fd < 0) return;
  host_.pump.WatchInput(fd);
  watched_fd_ = fd;
}

void NetLinks::Unwatch() {
  if (watched_fd_ >= 0) host_.pump.UnwatchInput(watched_fd_);
  watched_fd_ = -1;
}

void NetLinks::SetDatagramSocket(std::unique_ptr<DatagramSocket> socket) {
  CloseNetSocket();
  datagram_ = std::move(socket);
  if (datagram_) Watch(datagram_->WaitHandle());
}

void NetLinks::SetStreamSocket(std::unique_ptr<StreamSocket> socket) {
  CloseNetSocket();
  stream_ = std::move(socket);
  if (stream_) Watch(stream_->WaitHandle());
}

void NetLinks::CloseNetSocket() {
  Unwatch();
  datagram_.reset();
  stream_.reset();
}

int NetLinks::OpenBroadcastSocket(const char* prefix, uint16_t port) {
  return OpenDatagram(prefix, kAnyAddress, port, Sharing::kShared);
}

int NetLinks::OpenDeviceSocket(const char* prefix, Ipv4Address device, uint16_t port) {
  Ipv4Address local = kAnyAddress;
  if (const int error = network_.LocalAddressFor(device, port, local)) {
    ReportSocketError(host_.log, (std::string(prefix) + ": failed binding socket").c_str(), error);
    return kResultSocketFailed;
  }
  return OpenDatagram(prefix, local, port, Sharing::kExclusive);
}

int NetLinks::OpenDatagram(const char* prefix, Ipv4Address local, uint16_t port, Sharing sharing) {
  const std::string context = prefix;
  if (const int error = network_.Startup()) {
    host_.log.LogMessage("%s: winsock init failed: %s", prefix, SocketErrorName(error).c_str());
    return kResultSocketFailed;
  }
  std::unique_ptr<DatagramSocket> socket;
  if (const int error = network_.OpenDatagramSocket(socket)) {
    ReportSocketError(host_.log, (context + ": failed opening socket").c_str(), error);
    return kResultSocketFailed;
  }
  const int bind_error =
      sharing == Sharing::kShared ? socket->Bind(local, port) : socket->BindExclusive(local, port);
  if (const int error = bind_error) {
    ReportSocketError(host_.log, (context + ": failed binding socket").c_str(), error);
    return kResultSocketFailed;
  }
  socket->EnableBroadcast();
  SetDatagramSocket(std::move(socket));
  return kResultOk;
}

std::string NetLinks::WhyNotADevice(Ipv4Address device) {
  if (const char* why = WhyNotADeviceAddress(device)) return why;
  for (const LocalNetwork& network : network_.LocalNetworks()) {
    if (network.broadcast == device && network.broadcast != kAnyAddress)
      return "the broadcast address of the network on " + network.interface + ", which reaches every device on it";
  }
  return {};
}

std::vector<Ipv4Address> NetLinks::DetectionTargets() {
  std::vector<Ipv4Address> targets;
  for (const LocalNetwork& network : network_.LocalNetworks()) {
    if (network.can_broadcast && std::find(targets.begin(), targets.end(), network.broadcast) == targets.end())
      targets.push_back(network.broadcast);
  }
  if (targets.empty()) targets.push_back(kBroadcastAddress);
  return targets;
}

std::string ShownRequest(const std::string& request) {
  constexpr size_t kShown = 40;
  std::string shown = request.size() >= kShown ? request.substr(0, kShown) + "..." : request;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20) c = '.';
  return shown;
}

}  // namespace veritor
