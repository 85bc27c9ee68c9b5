// The network links as the console opens them, against small devices written
// from the wire bytes: scripted on the in-process wire, or over real loopback
// sockets. This program runs inside a network namespace of its own (see
// CMakeLists.txt), so that the fixed ports 24222 and 9101 are its alone.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <utility>

#include "net/net_constants.h"
#include "net/sdnp_frame.h"
#include "serial/packet.h"
#include "session/console_links.h"
#include "platform/posix_socket.h"
#include "tests/support/fake_network.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"

namespace veritor {
namespace {

constexpr Ipv4Address kDevice = 0x7F000002;  // 127.0.0.2

struct NoSerialPorts final : PortOpener {
  PortOpenResult Open(unsigned, const LineSettings&) override { return {}; }
};

// The console's links on the scripted wire, on a virtual clock.
class ConsoleOnWire : public ::testing::Test, protected test::VirtualHost {
 protected:
  test::FakeWire wire;
  test::FakeNetwork network{wire};
  NoSerialPorts ports;
  test::TempDir out;
  ConsoleLinks links{host, ports, network, out.slash()};

  bool Connect(int link, const std::string& address) { return links.Connect(link, 0, address, false).connected; }
};

// Text that names no device never reaches the network: no socket opens,
// nothing is sent, the log says why and the usual box comes up.
TEST_F(ConsoleOnWire, AddressesThatNameNoDeviceAreRefusedBeforeAnySocketOpens) {
  const struct {
    int link;
    const char* text;
    const char* log_line;
  } cases[] = {
      {kLinkTcp, "", "No device address given; nothing sent"},
      {kLinkSdnp, " ", "No device address given; nothing sent"},
      {kLinkUdp, "foo", "'foo' is not an IPv4 address; nothing sent"},
      {kLinkSdnp, "127.0.0.2 x", "'127.0.0.2 x' is not an IPv4 address; nothing sent"},
      {kLinkTcp, "255.255.255.255",
       "TCP: 255.255.255.255 is the broadcast address, which reaches every device; nothing sent"},
      {kLinkUdp, " 255.255.255.255",
       "UDP: 255.255.255.255 is the broadcast address, which reaches every device; nothing sent"},
      {kLinkUdp, "0.0.0.0", "UDP: 0.0.0.0 is an address of this network (0.x.x.x), which names no device; nothing sent"},
      {kLinkSdnp, "0.1.194.0",
       "SDNP: 0.1.194.0 is an address of this network (0.x.x.x), which names no device; nothing sent"},
      // A speed left in the address field reads as an address by inet_addr's rules.
      {kLinkTcp, "115200",
       "TCP: 0.1.194.0 is an address of this network (0.x.x.x), which names no device; nothing sent"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    prompts.boxes.clear();
    EXPECT_FALSE(Connect(c.link, c.text));
    EXPECT_EQ(sink.entries.back(), c.log_line);
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, "Net device connection error");
  }
  EXPECT_EQ(network.datagrams_opened + network.streams_opened, 0);
  EXPECT_TRUE(wire.sent.empty());
}

// Detection leaves its datagram socket set up; TCP and UDP then open a
// socket of their own, for the address given.
TEST_F(ConsoleOnWire, TcpAndUdpOpenTheirOwnSocketAfterADetection) {
  bool udp_answers = false;
  wire.respond = [&](const test::FakeWire::Datagram& sent) {
    if (sent.bytes == "v\r\n") wire.stream_in += "00/00/00/tcp\r\n";
    // A UDP device answers to port 9101, where only the UDP link's socket listens.
    if (!udp_answers || sent.port != kUdpPort || sent.from_port != kUdpPort) return;
    if (sent.bytes == std::string(1, kUdpEnq)) wire.Queue(std::string(1, kUdpAck), kDevice);
    if (sent.bytes == "\x02v/65\x03") wire.Queue(test::DevicePacket("00/00/00/udp"), kDevice);
  };
  std::vector<Ipv4Address> devices;
  ASSERT_TRUE(links.DetectNetworkDevices(devices));
  const ConsoleLinks::ConnectOutcome tcp = links.Connect(kLinkTcp, 0, "127.0.0.2", false);
  ASSERT_TRUE(tcp.connected) << testing::PrintToString(sink.entries);
  EXPECT_EQ(tcp.device_info, "tcp");
  links.Disconnect();

  // UDP whose "v" went unanswered keeps its socket; a detection replaces it.
  EXPECT_FALSE(Connect(kLinkUdp, "127.0.0.2"));
  ASSERT_TRUE(links.DetectNetworkDevices(devices));
  udp_answers = true;
  const ConsoleLinks::ConnectOutcome udp = links.Connect(kLinkUdp, 0, "127.0.0.2", false);
  ASSERT_TRUE(udp.connected) << testing::PrintToString(sink.entries);
  EXPECT_EQ(udp.device_info, "udp");
}

// --- Real loopback sockets ------------------------------------------------------------

int OpenSocket(int type, Ipv4Address address, uint16_t port) {
  const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind: " << errno;
  return fd;
}

class ConsoleOnLoopback : public ::testing::Test, protected test::VirtualHost {
 protected:
  PosixNetwork network;
};

// A TCP device on loopback, written from the wire bytes: it reads request
// lines (CR LF) and answers each with "00/00/00/<line>", as its way says. It
// runs in the console's pump turns, on the test's virtual clock.
class LoopbackTcpDevice {
 public:
  struct Way {
    uint32_t delay_ms = 0;           // from the request to its answer
    bool crlf = true;                // replies end with CR LF
    bool close_after_reply = false;  // closes the connection on the turn after each reply
    int restart_every = 0;           // after that many replies: reset, listener closed, listening again 5 ms later
  };
  LoopbackTcpDevice(Ipv4Address address, Way way, VirtualTickClock& clock)
      : address_(address), way_(way), clock_(clock) {
    Listen();
  }
  ~LoopbackTcpDevice() {
    for (int fd : {listener_, connection_})
      if (fd >= 0) close(fd);
  }
  void Turn() {
    const uint32_t now = clock_.GetTickCount();
    if (listener_ < 0 && static_cast<int32_t>(now - listen_at_) >= 0) Listen();
    if (close_now_) EndConnection(false);
    close_now_ = false;
    if (listener_ >= 0) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK);
      if (fd >= 0) {
        EndConnection(false);
        connection_ = fd;
        ++connections;
      }
    }
    if (connection_ < 0) return;
    char bytes[4096];
    const ssize_t n = recv(connection_, bytes, sizeof bytes, 0);
    if (n == 0) EndConnection(false);
    if (n > 0) line_.append(bytes, static_cast<size_t>(n));
    for (size_t end; (end = line_.find("\r\n")) != std::string::npos; line_.erase(0, end + 2))
      due_.push_back({now + way_.delay_ms, "00/00/00/" + line_.substr(0, end) + (way_.crlf ? "\r\n" : "")});
    while (connection_ >= 0 && !due_.empty() && static_cast<int32_t>(now - due_.front().first) >= 0) {
      send(connection_, due_.front().second.data(), due_.front().second.size(), MSG_NOSIGNAL);
      due_.pop_front();
      ++replies;
      close_now_ = way_.close_after_reply;
      if (way_.restart_every > 0 && replies % way_.restart_every == 0) Restart(now);
    }
  }
  int connections = 0;
  int replies = 0;

 private:
  void Listen() {
    listener_ = OpenSocket(SOCK_STREAM, address_, kTcpPort);
    listen(listener_, 4);
  }
  // A reset drops what the console sent and the device has not read.
  void EndConnection(bool reset) {
    if (connection_ < 0) return;
    const linger abort{1, 0};
    if (reset) setsockopt(connection_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(connection_);
    connection_ = -1;
    line_.clear();
    due_.clear();
  }
  void Restart(uint32_t now) {
    EndConnection(true);
    close(listener_);
    listener_ = -1;
    listen_at_ = now + 5;
  }
  Ipv4Address address_;
  Way way_;
  VirtualTickClock& clock_;
  int listener_ = -1;
  int connection_ = -1;
  bool close_now_ = false;
  uint32_t listen_at_ = 0;
  std::string line_;
  std::deque<std::pair<uint32_t, std::string>> due_;
};

// Devices that need more than a second, close after every reply, restart,
// or end their replies by closing: every request gets its own reply.
TEST_F(ConsoleOnLoopback, SlowClosingAndRestartingTcpDevicesAnswerEveryRequest) {
  const struct {
    const char* what;
    LoopbackTcpDevice::Way way;
    TcpReplyEnd end;
    int requests;
  } cases[] = {
      {"answers 1.1 s after each request", {.delay_ms = 1100}, TcpReplyEnd::kCrLf, 20},
      {"closes after every reply", {.close_after_reply = true}, TcpReplyEnd::kCrLf, 1000},
      {"restarts every 10 requests", {.restart_every = 10}, TcpReplyEnd::kCrLf, 1000},
      {"ends each reply by closing, without CR LF", {.crlf = false, .close_after_reply = true}, TcpReplyEnd::kClose, 20},
  };
  Ipv4Address address = 0x7F000050;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink.entries.clear();
    LoopbackTcpDevice device(++address, c.way, clock);
    pump.each_turn = [&] { device.Turn(); };
    NetLinks net(host, network);
    TcpLink tcp(net);
    tcp.SetReplyEnd(c.end);
    SdnpLink record;
    ASSERT_EQ(tcp.TcpConnect(record, address, true), kResultOk);
    int own = 0;
    for (int i = 0; i < c.requests; ++i) {
      const std::string request = "e/" + std::to_string(i);
      std::string reply;
      ASSERT_EQ(tcp.Transact(request, reply, false), kResultOk) << request << testing::PrintToString(sink.entries);
      own += reply == "00/00/00/" + request;
    }
    EXPECT_EQ(own, c.requests);
    EXPECT_LE(device.connections, c.requests);
    EXPECT_FALSE(sink.Contains("SDNP: request failed"));
    pump.each_turn = nullptr;
  }
}

// A device on real sockets that answers late or twice, on the console's
// virtual clock: UDP (ENQ gets ACK, a request packet its reply packet) or
// SDNP (SYN gets ACK, REQ gets REP, each with the frame's fsn). Every reply
// is "00/00/00/" and the request text, after `latency_ms`; the first sending
// of `slow_request` is answered after `slow_ms` instead; with `repeat_ms`
// every reply goes again that much later.
class LateDevice {
 public:
  enum class Protocol { kUdp, kSdnp };
  LateDevice(Protocol protocol, VirtualTickClock& clock)
      : protocol_(protocol), clock_(clock), fd_(OpenSocket(SOCK_DGRAM, kAddress, Port())) {}
  ~LateDevice() { close(fd_); }
  uint32_t latency_ms = 0, slow_ms = 0, repeat_ms = 0;
  std::string slow_request;

  void Turn() {
    char bytes[600];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    for (ssize_t n; (n = recvfrom(fd_, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &size)) > 0;) {
      console_ = from;
      Answer(std::string(bytes, static_cast<size_t>(n)));
    }
    for (size_t i = 0; i < due_.size();) {
      if (static_cast<int32_t>(clock_.GetTickCount() - due_[i].first) < 0) {
        ++i;
        continue;
      }
      const std::string datagram = due_[i].second;
      due_.erase(due_.begin() + static_cast<std::ptrdiff_t>(i));
      sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&console_), sizeof console_);
    }
  }
  static constexpr Ipv4Address kAddress = 0x7F00005D;

 private:
  uint16_t Port() const { return protocol_ == Protocol::kUdp ? kUdpPort : kSdnpPort; }
  // An answer "at once" goes before anything the device had scheduled.
  void Send(const std::string& datagram, uint32_t after_ms) {
    if (after_ms == 0) {
      sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&console_), sizeof console_);
      return;
    }
    due_.emplace_back(clock_.GetTickCount() + after_ms, datagram);
  }
  void Reply(const std::string& request, const std::string& datagram) {
    const bool slow = request == slow_request && !std::exchange(slow_seen_, true);
    const uint32_t after = slow ? slow_ms : latency_ms;
    Send(datagram, after);
    if (repeat_ms > 0) Send(datagram, after + repeat_ms);
  }
  void Answer(const std::string& datagram) {
    if (protocol_ == Protocol::kUdp) {
      if (datagram == std::string(1, kUdpEnq)) Send(std::string(1, kUdpAck), 0);
      if (datagram.size() < 6) return;
      const std::string request = datagram.substr(1, datagram.size() - 5);
      Reply(request, test::DevicePacket("00/00/00/" + request));
      return;
    }
    if (datagram.size() < kSdnpHeaderSize) return;
    const SdnpHeader header = ReadSdnpHeader(reinterpret_cast<const uint8_t*>(datagram.data()));
    if (header.opcode == kSdnpSyn) Send(BuildSdnpFrame(kSdnpDeviceId, header.fsn, kSdnpAck, ""), 0);
    if (header.opcode != kSdnpReq) return;
    const std::string request = datagram.substr(kSdnpHeaderSize);
    Reply(request, BuildSdnpFrame(kSdnpDeviceId, header.fsn, kSdnpRep, "00/00/00/" + request));
  }

  Protocol protocol_;
  VirtualTickClock& clock_;
  int fd_;
  sockaddr_in console_{};
  bool slow_seen_ = false;
  std::vector<std::pair<uint32_t, std::string>> due_;
};

TEST_F(ConsoleOnLoopback, ASecondUdpConsoleOnTheMachineIsRefusedThePortAndTheFirstKeepsItsReplies) {
  LateDevice device(LateDevice::Protocol::kUdp, clock);
  pump.each_turn = [&] { device.Turn(); };
  NetLinks first_net(host, network), second_net(host, network);
  SdnpLink first_record, second_record;
  UdpLink first(first_net, first_record), second(second_net, second_record);
  ASSERT_EQ(first.UdpConnect(first_record, LateDevice::kAddress, true), kResultOk);
  EXPECT_EQ(second.UdpConnect(second_record, LateDevice::kAddress, true), kResultSocketFailed);
  EXPECT_EQ(sink.entries.back(), "UDP: failed binding socket: EADDRINUSE");
  std::string reply;
  for (const std::string request : {"one", "two", "three"}) {
    ASSERT_EQ(first.Transact(request, reply, false), kResultOk) << testing::PrintToString(sink.entries);
    EXPECT_EQ(reply, "00/00/00/" + request);
  }
}

// A reply that comes after the console has sent its request again, and a
// device that sends each reply twice: every reply shown is its own request's.
// UDP replies carry no number, so the console waits out what an earlier
// sending still owes before the next request; SDNP's numbers tell them apart.
TEST_F(ConsoleOnLoopback, LateAndRepeatedRepliesNeverServeAnotherRequest) {
  using Protocol = LateDevice::Protocol;
  const struct {
    const char* name;
    Protocol protocol;
    uint32_t latency_ms, slow_ms, repeat_ms;
    int requests;
    const char* late_line;  // logged for a late answer or copy dropped
  } cases[] = {
      {"UDP, one reply after 2.2 s", Protocol::kUdp, 20, 2200, 0, 20,
       "UDP: late answer to an earlier sending of the last request dropped"},
      {"UDP, every reply again 151 ms later", Protocol::kUdp, 0, 0, 151, 100,
       "UDP: 1 datagrams that came before the request dropped"},
      {"SDNP, one reply after 1.2 s", Protocol::kSdnp, 20, 1200, 0, 20, "SDNP: response ignored (seq.no)"},
      {"SDNP, every reply again 151 ms later", Protocol::kSdnp, 0, 0, 151, 300, "SDNP: response ignored (seq.no)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sink.entries.clear();
    LateDevice device(c.protocol, clock);
    device.latency_ms = c.latency_ms;
    device.repeat_ms = c.repeat_ms;
    if (c.slow_ms > 0) {
      device.slow_request = "e/3";
      device.slow_ms = c.slow_ms;
    }
    pump.each_turn = [&] { device.Turn(); };
    NetLinks net(host, network);
    SdnpLink record;
    SdnpSession sdnp(net, record);
    UdpLink udp(net, record);
    LinkTransaction& link = c.protocol == Protocol::kUdp ? static_cast<LinkTransaction&>(udp) : sdnp;
    const int connected = c.protocol == Protocol::kUdp ? udp.UdpConnect(record, LateDevice::kAddress, true)
                                                        : sdnp.SdnpConnect(record, LateDevice::kAddress, false);
    ASSERT_EQ(connected, kResultOk);
    std::string reply;
    for (int i = 1; i <= c.requests; ++i) {
      const std::string request = "e/" + std::to_string(i);
      ASSERT_EQ(link.Transact(request, reply, false), kResultOk) << request << testing::PrintToString(sink.entries);
      EXPECT_EQ(reply, "00/00/00/" + request);
    }
    EXPECT_GE(sink.Count(c.late_line), 1u) << testing::PrintToString(sink.entries);
    pump.each_turn = nullptr;
  }
}

}  // namespace
}  // namespace veritor
