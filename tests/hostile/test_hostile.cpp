// Devices that misbehave on purpose: every request ends with the reply the
// device sent for it or with a failure result and a log line, and nothing
// reads or writes past a buffer (this also runs under AddressSanitizer).
// Over-long serial replies and hostile report names: tests/serial; datagrams from
// another address: tests/net.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "session/console_links.h"
#include "net/net_constants.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "sim/in_process_net.h"
#include "sim/serial_device.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using sim::NetFault;

constexpr Ipv4Address kDevice = 0x7F000002;       // 127.0.0.2
constexpr Ipv4Address kOtherDevice = 0x7F000003;  // 127.0.0.3

std::string EchoRequest(uint32_t n, size_t length) { return "~/" + std::to_string(n) + "/" + std::to_string(length); }
std::string EchoReply(uint32_t n, size_t length) {
  return "00/00/00/" + std::to_string(n) + "/" + sim::EchoPayload(n, length);
}

// A pump that does what a test wants on every turn, then the inner turn.
class HookedPump final : public MessagePump {
 public:
  explicit HookedPump(MessagePump& inner) : inner_(inner) {}
  void PumpOneMessage() override {
    if (each_turn) each_turn();
    inner_.PumpOneMessage();
  }
  std::function<void()> each_turn;

 private:
  MessagePump& inner_;
};

// The console's links with a recording host, on the test's clock and pump.
struct Console : test::HostRecorders {
  Console(TickClock& clock, MessagePump& pump, PortOpener& ports, Network& network)
      : host(HostOn(clock, pump)), links{host, ports, network, out.slash()} {}
  Host host;
  test::TempDir out;
  ConsoleLinks links;
  std::string data;

  bool Connect(int link) { return links.Connect(link, 0, "127.0.0.2", false).connected; }
  int Ask(const std::string& request) { return links.executor().ExecuteCommand(request, data, false); }
  const std::string& Reply() { return links.executor().ReplyBuffer(); }
};

struct NetworkParts {
  VirtualTickClock clock;
  sim::InProcessNetwork net{clock};
  HookedPump pump{net.pump()};
  PosixPortOpener unused_ports;
};

// The console's links over the in-process network, on a virtual clock.
class HostileNetwork : public ::testing::Test, protected NetworkParts, protected Console {
 protected:
  HostileNetwork() : Console(clock, pump, unused_ports, net.network()) {}
};

// A TCP device that resets the connection before its reply (the request
// goes again at once on a new connection), or sends more than a reply can
// be (the request fails with a log line): the next request gets the longest
// reply there is, 2044 characters, whole. (Devices that close: tests/net.)
TEST_F(HostileNetwork, TcpResetsAndTooLongRepliesLeaveTheLinkWorking) {
  sim::TcpDevice& device = net.AddTcpDevice(kDevice);
  ASSERT_TRUE(Connect(kLinkTcp));
  const struct {
    sim::FaultEntry fault;
    std::string forced;  // a reply text the device sends in place of its own
    int result;
    std::string log_line;
  } cases[] = {
      {{NetFault::kReset}, "", kResultOk, "TCP: the device reset the connection (ECONNRESET); connecting again"},
      {{}, "00/00/00/" + std::string(3000, 'L'), kResultNoAnswer,
       "TCP: a reply of 3009 bytes is longer than 2044; not taken"},
  };
  uint32_t n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_line);
    sink.entries.clear();
    device.faults = {c.fault};
    if (!c.forced.empty()) net.ModelAt(kDevice).ForceReply(c.forced);
    EXPECT_EQ(Ask(EchoRequest(++n, 360)), c.result);
    EXPECT_TRUE(sink.Contains(c.log_line)) << testing::PrintToString(sink.entries);
    const size_t longest = kMaxReplyText - 10 - std::to_string(++n).size();
    ASSERT_EQ(Ask(EchoRequest(n, longest)), kResultOk);
    EXPECT_EQ(Reply(), EchoReply(n, longest));
  }
}

TEST_F(HostileNetwork, NulBytesInAReplyReachTheConsoleWholeOnEveryNetworkLink) {
  net.AddSdnpDevice(kDevice);
  net.AddTcpDevice(kDevice);
  net.AddUdpDevice(kDevice);
  const std::string reply("00/00/00/\0A\0\0B\0", 14);
  for (int link : {kLinkSdnp, kLinkTcp, kLinkUdp}) {
    SCOPED_TRACE(link);
    ASSERT_TRUE(Connect(link));
    net.ModelAt(kDevice).ForceReply(reply);
    ASSERT_EQ(links.executor().ExecuteCommand("v", data, true), kResultOk);
    EXPECT_EQ(Reply(), reply);
    EXPECT_EQ(data, reply.substr(9));
    EXPECT_TRUE(sink.Contains("Replied frame []")) << "the log shows the text up to the first NUL";
    links.Disconnect();
  }
}

// --- Datagram links: SDNP and UDP ------------------------------------------------------

class HostileDatagramDevice : public HostileNetwork, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    net.AddSdnpDevice(kDevice);
    net.AddUdpDevice(kDevice);
    ASSERT_TRUE(Connect(GetParam()));
  }
};

// Datagrams of every size from 0 to 65,507 bytes, 32 a turn, half of them
// from the device's own address, while the console goes on with requests.
TEST_P(HostileDatagramDevice, AFloodOfDatagramsOfEverySizeLeavesEveryRequestWhole) {
  size_t next_size = 0;
  pump.each_turn = [&] {
    for (int i = 0; i < 32 && next_size <= sim::kMaxDatagram; ++i, ++next_size) {
      net.InjectDatagram(next_size % 2 ? kOtherDevice : kDevice, GetParam() == kLinkSdnp ? kSdnpPort : kUdpPort,
                         std::string(next_size, 'F'));
    }
    net.ClearWire();
  };
  uint32_t n = 0;
  while (next_size <= sim::kMaxDatagram) {
    ++n;
    sink.entries.clear();
    ASSERT_EQ(Ask(EchoRequest(n, 40)), kResultOk) << n << ": " << testing::PrintToString(sink.entries);
    ASSERT_EQ(Reply(), EchoReply(n, 40));
  }
  EXPECT_GT(n, 10u);
}

INSTANTIATE_TEST_SUITE_P(SdnpAndUdp, HostileDatagramDevice, ::testing::Values(kLinkSdnp, kLinkUdp),
                         [](const auto& info) { return info.param == kLinkSdnp ? "Sdnp" : "Udp"; });

// --- A real pty whose device end goes away -------------------------------------------

// The simulated device on the master end of a real pty as COM1, served on
// every turn of the console's pump. With hang_up_after it closes its end once
// it has sent that many more bytes, as when the device's end of the line goes
// away; Plug makes a new pty for COM1.
class PtyDevice final : public MessagePump {
 public:
  PtyDevice(TickClock& clock, MessagePump& inner) : clock_(clock), inner_(inner) { Plug(); }
  ~PtyDevice() override {
    Unplug();
    unsetenv("VERITOR_COM1");
  }
  void Plug() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) setenv("VERITOR_COM1", ptsname(master_), 1);
  }
  void Unplug() {
    if (master_ >= 0) close(std::exchange(master_, -1));
  }
  void PumpOneMessage() override {
    const uint32_t now = clock_.GetTickCount();
    uint8_t byte;
    while (master_ >= 0 && read(master_, &byte, 1) == 1) device.OnHostByte(byte, now);
    std::string due;
    device.TakeDue(now, due);
    const bool last = hang_up_after > 0 && due.size() >= hang_up_after;
    if (last) due.resize(hang_up_after);
    if (hang_up_after > 0) hang_up_after -= due.size();
    if (master_ >= 0 && !due.empty() && write(master_, due.data(), due.size()) < 0) ADD_FAILURE() << "write";
    if (last) Unplug();
    inner_.PumpOneMessage();
  }

  sim::DeviceModel model;
  sim::SerialDevice device{model};
  size_t hang_up_after = 0;  // 0: never

 private:
  TickClock& clock_;
  MessagePump& inner_;
  int master_ = -1;
};

TEST(HostilePty, DeviceEndClosingInTheMiddleOfAReplyFailsTheRequestAndALaterConnectWorks) {
  SteadyTickClock clock;
  PollPump poll_pump;
  PtyDevice pty{clock, poll_pump};
  PosixPortOpener opener;
  PosixNetwork unused_network;
  Console console{clock, pty, opener, unused_network};

  ASSERT_TRUE(console.links.Connect(1, 115200, "", false).connected);
  // ACK of the enquiry, ACK of the packet, then 6 bytes of the reply: gone.
  pty.device.faults.reply = {sim::ReplyFault::Pause(6, 60000)};
  pty.hang_up_after = 2 + 6;
  console.sink.entries.clear();
  EXPECT_EQ(console.Ask("?"), kResultPortGone);
  EXPECT_EQ(console.sink.entries,
            std::vector<std::string>{"The serial port has gone (its line hung up); nothing more can be sent or received"});

  console.links.Disconnect();
  pty.Plug();
  ASSERT_TRUE(console.links.Connect(1, 115200, "", false).connected) << testing::PrintToString(console.sink.entries);
  ASSERT_EQ(console.Ask(EchoRequest(7, 2000)), kResultOk);
  EXPECT_EQ(console.Reply(), EchoReply(7, 2000));
}

}  // namespace
}  // namespace veritor
