// The network links as the console opens them, against small devices written
// from the wire bytes: scripted on the in-process wire, or over real loopback
// sockets. This program runs inside a network namespace of its own (see
// CMakeLists.txt), so that the fixed ports 24222 and 9101 are its alone.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>


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
      {kLinkTcp, "", "'' is not an IPv4 address; nothing sent"},
      {kLinkUdp, "foo", "'foo' is not an IPv4 address; nothing sent"},
      {kLinkSdnp, "127.0.0.2 x", "'127.0.0.2 x' is not an IPv4 address; nothing sent"},
      {kLinkTcp, "255.255.255.255",
       "TCP: 255.255.255.255 is the broadcast address, which reaches every device; nothing sent"},
      {kLinkUdp, " 255.255.255.255",
       "UDP: 255.255.255.255 is the broadcast address, which reaches every device; nothing sent"},
      {kLinkUdp, "0.0.0.0", "UDP: 0.0.0.0 is an address of this network (0.x.x.x), which names no device; nothing sent"},
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

TEST_F(ConsoleOnWire, BlanksAroundAnAddressAndTheOtherInetAddrFormsConnect) {
  wire.respond = [&](const test::FakeWire::Datagram& sent) {
    if (sent.bytes == "v\r\n") wire.stream_in += "00/00/00/info\r\n";
  };
  for (const char* text : {" 127.0.0.2\t", "127.0.0.2 ", "0x7f.2", "127.2", "0177.0.0.2"}) {
    ASSERT_TRUE(Connect(kLinkTcp, text)) << text;
    EXPECT_EQ(wire.sent.back().peer, kDevice);
    links.Disconnect();
  }
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
  EXPECT_EQ(tcp.device_info, "tcp\r\n");
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

// A TCP device that serves one connection at a time and takes no other
// meanwhile: it stops listening while it serves, and listens again once the
// console has closed the connection. It answers each line with
// "00/00/00/<line>" and CR LF, except the first line it ever gets.
class OneConnectionDevice {
 public:
  explicit OneConnectionDevice(Ipv4Address address) : address_(address) { Listen(); }
  ~OneConnectionDevice() {
    if (listener_ >= 0) close(listener_);
    if (connection_ >= 0) close(connection_);
  }
  void Turn() {
    if (connection_ < 0) {
      connection_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK);
      if (connection_ >= 0) {
        close(listener_);
        listener_ = -1;
      }
      return;
    }
    char bytes[256];
    const ssize_t n = recv(connection_, bytes, sizeof bytes, 0);
    if (n == 0) {
      close(connection_);
      connection_ = -1;
      Listen();
      return;
    }
    if (n > 0) line_.append(bytes, static_cast<size_t>(n));
    for (size_t end; (end = line_.find("\r\n")) != std::string::npos; line_.erase(0, end + 2)) {
      if (lines_++ == 0) continue;
      const std::string reply = "00/00/00/" + line_.substr(0, end) + "\r\n";
      send(connection_, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }
  int accepted = 0;

 private:
  void Listen() {
    listener_ = OpenSocket(SOCK_STREAM, address_, kTcpPort);
    listen(listener_, 1);
  }
  Ipv4Address address_;
  int listener_ = -1;
  int connection_ = -1;
  std::string line_;
  int lines_ = 0;
};

TEST_F(ConsoleOnLoopback, ATcpDeviceThatTakesOneConnectionAtATimeKeepsWorkingThroughTimeouts) {
  OneConnectionDevice device(0x7F00005B);
  pump.each_turn = [&] { device.Turn(); };
  NetLinks net(host, network);
  TcpLink tcp(net);
  SdnpLink record;
  ASSERT_EQ(tcp.TcpConnect(record, 0x7F00005B, true), kResultOk);
  std::string reply;
  ASSERT_EQ(tcp.Transact("first", reply, false), kResultOk) << testing::PrintToString(sink.entries);
  EXPECT_EQ(reply, "00/00/00/first\r\n");
  EXPECT_EQ(sink.Count("TCP: request timeout"), 1u);
  ASSERT_EQ(tcp.Transact("second", reply, false), kResultOk) << testing::PrintToString(sink.entries);
  EXPECT_EQ(reply, "00/00/00/second\r\n");
}

// A UDP device from the wire bytes on 127.0.0.92:9101, bound as veritor-sim
// binds: ENQ gets ACK, a request packet gets the reply packet.
class UdpDevice {
 public:
  UdpDevice() : fd_(OpenSocket(SOCK_DGRAM, kAddress, kUdpPort)) {}
  ~UdpDevice() { close(fd_); }
  void Turn() {
    char bytes[600];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = recvfrom(fd_, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n <= 0) return;
    const std::string datagram(bytes, static_cast<size_t>(n));
    std::string answer;
    if (datagram == std::string(1, kUdpEnq)) answer = std::string(1, kUdpAck);
    if (datagram.size() > 5) answer = test::DevicePacket("00/00/00/" + datagram.substr(1, datagram.size() - 5));
    if (!answer.empty())
      sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
  static constexpr Ipv4Address kAddress = 0x7F00005C;

 private:
  int fd_;
};

TEST_F(ConsoleOnLoopback, ASecondUdpConsoleOnTheMachineIsRefusedThePortAndTheFirstKeepsItsReplies) {
  UdpDevice device;
  pump.each_turn = [&] { device.Turn(); };
  NetLinks first_net(host, network), second_net(host, network);
  SdnpLink first_record, second_record;
  UdpLink first(first_net, first_record), second(second_net, second_record);
  ASSERT_EQ(first.UdpConnect(first_record, UdpDevice::kAddress, true), kResultOk);
  EXPECT_EQ(second.UdpConnect(second_record, UdpDevice::kAddress, true), kResultSocketFailed);
  EXPECT_EQ(sink.entries.back(), "UDP: failed binding socket: EADDRINUSE");
  std::string reply;
  for (const std::string request : {"one", "two", "three"}) {
    ASSERT_EQ(first.Transact(request, reply, false), kResultOk) << testing::PrintToString(sink.entries);
    EXPECT_EQ(reply, "00/00/00/" + request);
  }
}

}  // namespace
}  // namespace veritor
