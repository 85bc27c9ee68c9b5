#include "sim/in_process_net.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "net/net_constants.h"
#include "net/sdnp_frame.h"

namespace veritor::sim {

namespace {

constexpr int kErrAccess = 10013;
constexpr int kErrInvalid = 10022;
constexpr int kErrWouldBlock = 10035;
constexpr int kErrAlready = 10037;
constexpr int kErrMessageSize = 10040;
constexpr int kErrAddressNotAvailable = 10049;
constexpr int kErrConnReset = 10054;
constexpr int kErrIsConnected = 10056;
constexpr int kErrNotConnected = 10057;
constexpr int kErrTimedOut = 10060;
constexpr int kErrConnRefused = 10061;

constexpr uint16_t kFirstEphemeralPort = 49152;

bool IsLoopback(Ipv4Address address) { return (address >> 24) == 127; }

struct Inbound {
  Ipv4Address from = 0;
  uint16_t from_port = 0;
  std::string bytes;
};

struct DatagramEndpoint {
  bool open = true;
  bool bound = false;
  bool broadcast = false;
  Ipv4Address address = 0;
  uint16_t port = 0;
  std::deque<Inbound> inbox;
};

struct StreamEndpoint {
  enum class State { kFresh, kConnecting, kConnected, kRefused, kTimedOut, kClosedByDevice, kResetByDevice };
  State state = State::kFresh;
  bool console_closed = false;
  bool sent_after_close = false;
  Ipv4Address device = 0;
  uint16_t device_port = 0;
  uint16_t local_port = 0;
  uint32_t started = 0;
  std::string to_console;  // arrived, not yet read
  std::string to_device;   // sent, not yet taken by the device
};

struct Transit {
  Ipv4Address to = 0;
  uint16_t to_port = 0;
  Inbound datagram;
};

struct Node {
  std::unique_ptr<DeviceModel> model = std::make_unique<DeviceModel>();
  std::unique_ptr<SdnpDevice> sdnp;
  std::unique_ptr<TcpDevice> tcp;
  std::unique_ptr<UdpDevice> udp;
  std::deque<std::shared_ptr<StreamEndpoint>> connections;  // the front one is served
};

}  // namespace

struct InProcessNetCore {
  explicit InProcessNetCore(VirtualTickClock& clock) : clock(&clock), last_now(clock.GetTickCount()) {}

  uint32_t Now() {
    if (clock != nullptr) last_now = clock->GetTickCount();
    return last_now;
  }

  uint16_t EphemeralPort() {
    const uint16_t port = next_port;
    next_port = next_port == 65535 ? kFirstEphemeralPort : static_cast<uint16_t>(next_port + 1);
    return port;
  }

  void Log(WireRecord::Kind kind, bool from_console, Ipv4Address from, uint16_t from_port, Ipv4Address to,
           uint16_t to_port, std::string bytes) {
    wire.push_back({Now(), kind, from_console, from, from_port, to, to_port, std::move(bytes)});
  }

  Node& NodeAt(Ipv4Address address) { return nodes[address]; }

  // The newest open console socket that a datagram to (to, port) reaches.
  DatagramEndpoint* ConsoleEndpoint(Ipv4Address to, std::optional<uint16_t> port) {
    for (auto it = datagram_endpoints.rbegin(); it != datagram_endpoints.rend(); ++it) {
      DatagramEndpoint& endpoint = **it;
      if (!endpoint.open || !endpoint.bound) continue;
      if (port && endpoint.port != *port) continue;
      if (endpoint.address == kAnyAddress || endpoint.address == to) return &endpoint;
    }
    return nullptr;
  }

  void Turn();
  void SettleConnects(uint32_t now);
  void DeliverToDevices(uint32_t now);
  void DeliverToDevice(Node& node, const Transit& transit, uint32_t now);
  void CollectDatagrams(uint32_t now);
  void ServeStreams(Node& node, uint32_t now);
  void ApplyStreamOutput(Node& node, StreamOutput& output);
  void DropServedConnection(Node& node);

  VirtualTickClock* clock;
  uint32_t last_now;
  uint16_t next_port = kFirstEphemeralPort;
  std::map<Ipv4Address, Node> nodes;
  std::vector<std::shared_ptr<DatagramEndpoint>> datagram_endpoints;
  std::vector<std::shared_ptr<StreamEndpoint>> connecting;
  std::deque<Transit> to_devices;
  std::vector<WireRecord> wire;
};

namespace {

using Core = InProcessNetCore;
using StreamState = StreamEndpoint::State;

class ConsoleDatagramSocket final : public DatagramSocket {
 public:
  explicit ConsoleDatagramSocket(std::shared_ptr<Core> core)
      : core_(std::move(core)), endpoint_(std::make_shared<DatagramEndpoint>()) {
    core_->datagram_endpoints.push_back(endpoint_);
  }
  ~ConsoleDatagramSocket() override { endpoint_->open = false; }

  int Bind(Ipv4Address address, uint16_t port) override {
    if (endpoint_->bound) return kErrInvalid;
    if (address != kAnyAddress && address != InProcessNetwork::kConsoleAddress) return kErrAddressNotAvailable;
    endpoint_->address = address;
    endpoint_->port = port != 0 ? port : core_->EphemeralPort();
    endpoint_->bound = true;
    return 0;
  }

  int EnableBroadcast() override {
    endpoint_->broadcast = true;
    return 0;
  }

  int SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length, size_t& sent) override {
    sent = 0;
    if (length > kMaxDatagram) return kErrMessageSize;
    if (address == kAnyAddress) return kErrAddressNotAvailable;
    if (address == kBroadcastAddress && !endpoint_->broadcast) return kErrAccess;
    if (!endpoint_->bound) Bind(kAnyAddress, 0);
    std::string bytes(static_cast<const char*>(data), length);
    const Ipv4Address self = InProcessNetwork::kConsoleAddress;
    core_->Log(WireRecord::Kind::kDatagram, true, self, endpoint_->port, address, port, bytes);
    core_->to_devices.push_back({address, port, {self, endpoint_->port, std::move(bytes)}});
    sent = length;
    return 0;
  }

  int NextDatagram(bool& pending, size_t& size) override {
    pending = !endpoint_->inbox.empty();
    size = pending ? endpoint_->inbox.front().bytes.size() : 0;
    return 0;
  }

  int ReceiveFrom(void* buffer, size_t capacity, size_t& length, Ipv4Address& sender) override {
    length = 0;
    sender = kAnyAddress;
    if (endpoint_->inbox.empty()) return kErrWouldBlock;
    const Inbound datagram = std::move(endpoint_->inbox.front());
    endpoint_->inbox.pop_front();
    if (capacity > 0) std::memcpy(buffer, datagram.bytes.data(), std::min(capacity, datagram.bytes.size()));
    length = datagram.bytes.size();
    sender = datagram.from;
    return 0;
  }

 private:
  std::shared_ptr<Core> core_;
  std::shared_ptr<DatagramEndpoint> endpoint_;
};

class ConsoleStreamSocket final : public StreamSocket {
 public:
  explicit ConsoleStreamSocket(std::shared_ptr<Core> core)
      : core_(std::move(core)), endpoint_(std::make_shared<StreamEndpoint>()) {}

  ~ConsoleStreamSocket() override {
    endpoint_->console_closed = true;
    if (endpoint_->state == StreamState::kConnected) {
      LogFromConsole(WireRecord::Kind::kStreamClosed, {});
    }
  }

  int StartConnect(Ipv4Address address, uint16_t port) override {
    if (endpoint_->state == StreamState::kConnecting) return kErrAlready;
    if (endpoint_->state != StreamState::kFresh) return kErrIsConnected;
    endpoint_->state = StreamState::kConnecting;
    endpoint_->device = address;
    endpoint_->device_port = port;
    endpoint_->local_port = core_->EphemeralPort();
    endpoint_->started = core_->Now();
    core_->connecting.push_back(endpoint_);
    return 0;
  }

  int CheckConnected(bool& connected) override {
    connected = false;
    switch (endpoint_->state) {
      case StreamState::kFresh: return kErrNotConnected;
      case StreamState::kConnecting: return 0;
      case StreamState::kRefused: return kErrConnRefused;
      case StreamState::kTimedOut: return kErrTimedOut;
      default: connected = true; return 0;
    }
  }

  int Send(const void* data, size_t length, size_t& sent) override {
    sent = 0;
    switch (endpoint_->state) {
      case StreamState::kConnected:
        break;
      case StreamState::kClosedByDevice:
        // The first send after the peer closed still succeeds; the peer's
        // reset to it fails every later one.
        if (endpoint_->sent_after_close) return kErrConnReset;
        endpoint_->sent_after_close = true;
        break;
      case StreamState::kResetByDevice:
        return kErrConnReset;
      default:
        return kErrNotConnected;
    }
    const std::string bytes(static_cast<const char*>(data), length);
    if (endpoint_->state == StreamState::kConnected) endpoint_->to_device += bytes;
    if (length > 0) LogFromConsole(WireRecord::Kind::kStream, bytes);
    sent = length;
    return 0;
  }

  int Pending(size_t& count) override {
    count = endpoint_->to_console.size();
    return 0;
  }

  int Receive(void* buffer, size_t capacity, size_t& length) override {
    length = 0;
    if (capacity == 0) return kErrInvalid;
    std::string& queued = endpoint_->to_console;
    if (!queued.empty()) {
      length = std::min(capacity, queued.size());
      std::memcpy(buffer, queued.data(), length);
      queued.erase(0, length);
      return 0;
    }
    switch (endpoint_->state) {
      case StreamState::kConnected: return kErrWouldBlock;
      case StreamState::kClosedByDevice: return 0;
      case StreamState::kResetByDevice: return kErrConnReset;
      default: return kErrNotConnected;
    }
  }

 private:
  void LogFromConsole(WireRecord::Kind kind, std::string bytes) {
    core_->Log(kind, true, InProcessNetwork::kConsoleAddress, endpoint_->local_port, endpoint_->device,
               endpoint_->device_port, std::move(bytes));
  }

  std::shared_ptr<Core> core_;
  std::shared_ptr<StreamEndpoint> endpoint_;
};

}  // namespace

class InProcessNetFacade final : public Network, public MessagePump {
 public:
  explicit InProcessNetFacade(std::shared_ptr<InProcessNetCore> core) : core_(std::move(core)) {}

  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) override {
    socket = std::make_unique<ConsoleDatagramSocket>(core_);
    return 0;
  }
  int OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) override {
    socket = std::make_unique<ConsoleStreamSocket>(core_);
    return 0;
  }
  void PumpOneMessage() override { core_->Turn(); }

 private:
  std::shared_ptr<InProcessNetCore> core_;
};

void InProcessNetCore::Turn() {
  const uint32_t now = Now();
  std::erase_if(datagram_endpoints, [](const auto& endpoint) { return !endpoint->open; });
  SettleConnects(now);
  DeliverToDevices(now);
  for (auto& [address, node] : nodes) {
    if (node.tcp) ServeStreams(node, now);
  }
  CollectDatagrams(now);
  if (clock != nullptr) clock->Advance(1);
}

void InProcessNetCore::SettleConnects(uint32_t now) {
  for (const std::shared_ptr<StreamEndpoint>& stream : connecting) {
    const auto found = nodes.find(stream->device);
    if (found != nodes.end() && found->second.tcp && stream->device_port == kTcpPort) {
      stream->state = StreamState::kConnected;
      Node& node = found->second;
      node.connections.push_back(stream);
      if (node.connections.size() == 1) node.tcp->OnConnect();
    } else if (IsLoopback(stream->device)) {
      stream->state = StreamState::kRefused;
    } else if (now - stream->started >= InProcessNetwork::kConnectTimeoutMs) {
      stream->state = StreamState::kTimedOut;
    }
  }
  std::erase_if(connecting, [](const auto& stream) { return stream->state != StreamState::kConnecting; });
}

void InProcessNetCore::DeliverToDevices(uint32_t now) {
  while (!to_devices.empty()) {
    const Transit transit = std::move(to_devices.front());
    to_devices.pop_front();
    if (transit.to == kBroadcastAddress) {
      for (auto& [address, node] : nodes) DeliverToDevice(node, transit, now);
    } else if (const auto found = nodes.find(transit.to); found != nodes.end()) {
      DeliverToDevice(found->second, transit, now);
    } else if (DatagramEndpoint* self = ConsoleEndpoint(transit.to, transit.to_port)) {
      self->inbox.push_back(transit.datagram);
    }
  }
}

void InProcessNetCore::DeliverToDevice(Node& node, const Transit& transit, uint32_t now) {
  const Inbound& datagram = transit.datagram;
  if (transit.to_port == kSdnpPort && node.sdnp) {
    node.sdnp->OnDatagram(datagram.from, datagram.from_port, datagram.bytes, now);
  } else if (transit.to_port == kUdpPort && node.udp) {
    node.udp->OnDatagram(datagram.from, datagram.from_port, datagram.bytes, now);
  }
}

void InProcessNetCore::CollectDatagrams(uint32_t now) {
  std::vector<std::pair<uint16_t, OutgoingDatagram>> due;
  for (auto& [address, node] : nodes) {
    std::vector<OutgoingDatagram> out;
    if (node.sdnp) node.sdnp->TakeDue(now, out);
    for (OutgoingDatagram& datagram : out) due.emplace_back(kSdnpPort, std::move(datagram));
    out.clear();
    if (node.udp) node.udp->TakeDue(now, out);
    for (OutgoingDatagram& datagram : out) due.emplace_back(kUdpPort, std::move(datagram));
  }
  for (auto& [port, datagram] : due) {
    Log(WireRecord::Kind::kDatagram, false, datagram.from, port, datagram.to, datagram.to_port, datagram.bytes);
    if (DatagramEndpoint* endpoint = ConsoleEndpoint(datagram.to, datagram.to_port)) {
      endpoint->inbox.push_back({datagram.from, port, std::move(datagram.bytes)});
    }
  }
}

void InProcessNetCore::ServeStreams(Node& node, uint32_t now) {
  std::erase_if(node.connections, [&](const auto& stream) {
    return stream->console_closed && stream != node.connections.front();
  });
  while (!node.connections.empty() && node.connections.front()->console_closed) DropServedConnection(node);
  if (!node.connections.empty()) {
    StreamEndpoint& served = *node.connections.front();
    const std::string bytes = std::move(served.to_device);
    served.to_device.clear();
    node.tcp->OnBytes(bytes, now);
  }
  std::vector<StreamOutput> outputs;
  node.tcp->TakeDue(now, outputs);
  for (StreamOutput& output : outputs) {
    if (node.connections.empty()) break;  // nobody is connected to hear it
    ApplyStreamOutput(node, output);
  }
}

void InProcessNetCore::ApplyStreamOutput(Node& node, StreamOutput& output) {
  const std::shared_ptr<StreamEndpoint> keep = node.connections.front();
  StreamEndpoint& served = *keep;
  const auto log = [&](WireRecord::Kind kind, std::string bytes) {
    Log(kind, false, served.device, served.device_port, InProcessNetwork::kConsoleAddress, served.local_port,
        std::move(bytes));
  };
  switch (output.kind) {
    case StreamOutput::Kind::kData:
      served.to_console += output.bytes;
      log(WireRecord::Kind::kStream, std::move(output.bytes));
      break;
    case StreamOutput::Kind::kClose:
      served.state = StreamState::kClosedByDevice;
      log(WireRecord::Kind::kStreamClosed, {});
      DropServedConnection(node);
      break;
    case StreamOutput::Kind::kReset:
      served.state = StreamState::kResetByDevice;
      log(WireRecord::Kind::kStreamReset, {});
      DropServedConnection(node);
      break;
  }
}

// The device forgets the connection and turns to the next one, if any.
void InProcessNetCore::DropServedConnection(Node& node) {
  node.connections.pop_front();
  node.tcp->OnConnect();
}

InProcessNetwork::InProcessNetwork(VirtualTickClock& clock)
    : core_(std::make_shared<InProcessNetCore>(clock)), facade_(std::make_unique<InProcessNetFacade>(core_)) {}

InProcessNetwork::~InProcessNetwork() { core_->clock = nullptr; }

Network& InProcessNetwork::network() { return *facade_; }
MessagePump& InProcessNetwork::pump() { return *facade_; }

SdnpDevice& InProcessNetwork::AddSdnpDevice(Ipv4Address address) {
  Node& node = core_->NodeAt(address);
  if (!node.sdnp) node.sdnp = std::make_unique<SdnpDevice>(*node.model, address);
  return *node.sdnp;
}

TcpDevice& InProcessNetwork::AddTcpDevice(Ipv4Address address) {
  Node& node = core_->NodeAt(address);
  if (!node.tcp) node.tcp = std::make_unique<TcpDevice>(*node.model);
  return *node.tcp;
}

UdpDevice& InProcessNetwork::AddUdpDevice(Ipv4Address address) {
  Node& node = core_->NodeAt(address);
  if (!node.udp) node.udp = std::make_unique<UdpDevice>(*node.model, address);
  return *node.udp;
}

DeviceModel& InProcessNetwork::ModelAt(Ipv4Address address) { return *core_->NodeAt(address).model; }

const std::vector<WireRecord>& InProcessNetwork::Wire() const { return core_->wire; }
void InProcessNetwork::ClearWire() { core_->wire.clear(); }

bool InProcessNetwork::InjectDatagram(Ipv4Address from, uint16_t from_port, std::string bytes) {
  if (bytes.size() > kMaxDatagram) return false;
  DatagramEndpoint* endpoint = core_->ConsoleEndpoint(kConsoleAddress, std::nullopt);
  if (endpoint == nullptr) return false;
  core_->Log(WireRecord::Kind::kDatagram, false, from, from_port, kConsoleAddress, endpoint->port, bytes);
  endpoint->inbox.push_back({from, from_port, std::move(bytes)});
  return true;
}

}  // namespace veritor::sim
