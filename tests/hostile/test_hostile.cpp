// Devices that misbehave on purpose: every request ends with the reply the
// device sent for it or with a failure result and a log line, and nothing
// reads or writes past a buffer (this also runs under AddressSanitizer).
// Over-long replies, resets and hostile report names: tests/serial, tests/net;
// a serial line whose device end hangs up: tests/platform and tests/serial.

#include <gtest/gtest.h>

#include <functional>

#include "session/console_links.h"
#include "net/net_constants.h"
#include "platform/posix_serial.h"
#include "sim/in_process_net.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

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

// The console's links over the in-process network, with a recording host, on a virtual clock.
class HostileNetwork : public ::testing::Test, protected test::HostRecorders {
 protected:
  VirtualTickClock clock;
  sim::InProcessNetwork net{clock};
  HookedPump pump{net.pump()};
  PosixPortOpener unused_ports;
  Host host = HostOn(clock, pump);
  test::TempDir out;
  ConsoleLinks links{host, unused_ports, net.network(), out.slash()};
  std::string data;

  bool Connect(int link) { return links.Connect(link, 0, "127.0.0.2", false).connected; }
  int Ask(const std::string& request) { return links.executor().ExecuteCommand(request, data, false); }
  const std::string& Reply() { return links.executor().ReplyBuffer(); }
};

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

}  // namespace
}  // namespace veritor
