// Devices that misbehave on purpose: the console ends every request with
// the reply the device sent for it or with a failure result and a log line,
// writes nothing outside its output folder and never reads or writes past
// a buffer (this file also runs under AddressSanitizer).

#include <gtest/gtest.h>

#include <filesystem>

#include "net/console_links.h"
#include "net/sdnp_frame.h"
#include "serial/packet.h"
#include "sim/in_process.h"
#include "sim/in_process_net.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using sim::FaultEntry;
using sim::NetFault;

constexpr Ipv4Address kDevice = 0x7F000002;       // 127.0.0.2
constexpr Ipv4Address kOtherDevice = 0x7F000003;  // 127.0.0.3

std::string EchoRequest(uint32_t n, size_t length) { return "~/" + std::to_string(n) + "/" + std::to_string(length); }
std::string EchoReply(uint32_t n, size_t length) {
  return "00/00/00/" + std::to_string(n) + "/" + sim::EchoPayload(n, length);
}

class NoSerialPorts final : public PortOpener {
 public:
  PortOpenResult Open(unsigned, const LineSettings&) override { return {nullptr, "", "no serial ports here"}; }
};

// The console's links over the in-process network, on a virtual clock.
class HostileNetwork : public ::testing::Test {
 protected:
  VirtualTickClock clock;
  sim::InProcessNetwork net{clock};
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, net.pump(), log, display, prompts, state};
  NoSerialPorts no_ports;
  test::TempDir out;
  ConsoleLinks links{host, no_ports, net.network(), out.slash()};
  std::string data;

  bool Connect(int link) { return links.Connect(link, 0, "127.0.0.2", false).connected; }
  int Ask(const std::string& request) { return links.executor().ExecuteCommand(request, data, false); }
  const std::string& Reply() const { return const_cast<ConsoleLinks&>(links).executor().ReplyBuffer(); }
};

// --- Serial link: packets of at most 2047 bytes between STX and ETX ---------------

class HostileSerialDevice : public ::testing::Test {
 protected:
  VirtualTickClock clock;
  sim::InProcessSerial device{clock};
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, device.pump(), log, display, prompts, state};
  sim::InProcessNetwork no_network{clock};
  test::TempDir out;
  ConsoleLinks links{host, device.opener(), no_network.network(), out.slash()};
  std::string data;

  void SetUp() override { ASSERT_TRUE(links.Connect(1, 115200, "", false).connected); }
  int Ask(const std::string& request) { return links.executor().ExecuteCommand(request, data, false); }
  const std::string& Reply() { return links.executor().ReplyBuffer(); }
};

// A reply text whose packet body has `body` bytes; with `decoy`, its first
// 2047 bytes end in "/" and the two digits that check them, as if the
// packet ended there.
std::string ReplyForBody(size_t body, bool decoy) {
  std::string text = "00/00/00/" + std::string(kMaxReplyText - 9, 'R');
  if (decoy) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02u", PacketChecksum(text));
    text += std::string("/") + digits;
  }
  text.resize(body - 3, 'R');
  return text;
}

TEST_F(HostileSerialDevice, RepliesLongerThanAPacketCarriesAreNeverTaken) {
  const struct {
    const char* what;
    size_t body;
    bool decoy;
  } cases[] = {
      {"2048 bytes", 2048, false},
      {"10,000 bytes", 10000, false},
      {"10,000 bytes whose first 2047 check out", 10000, true},
  };
  for (const auto& c : cases) {
    sink.entries.clear();
    device.model().ForceReply(ReplyForBody(c.body, c.decoy));
    EXPECT_EQ(Ask("v"), kResultRetriesFailed) << c.what;
    EXPECT_EQ(sink.Count("Reply packet longer than 2047 bytes; not taken"), 3u) << c.what;
    EXPECT_EQ(sink.entries.back(), "Request retries failed") << c.what;
  }
  const std::string longest = ReplyForBody(2047, false);
  device.model().ForceReply(longest);
  ASSERT_EQ(Ask("v"), kResultOk);
  EXPECT_EQ(Reply(), longest) << "2047 bytes: the longest reply, whole";
}

// --- TCP: a stream without framing or checksum -----------------------------------

class HostileTcpDevice : public HostileNetwork {
 protected:
  sim::TcpDevice& device = net.AddTcpDevice(kDevice);
  void SetUp() override { ASSERT_TRUE(Connect(kLinkTcp)); }
};

TEST_F(HostileTcpDevice, EveryReplyIsTheOneSentForItOrTheRequestFailsWithALogLine) {
  const struct {
    const char* what;
    FaultEntry fault;
    int result;
    const char* log_line;  // "" for none
  } cases[] = {
      {"a reply in two pieces 20 ms apart", {NetFault::kSplit, 20}, kResultOk, ""},
      {"a reply after the console's time-out", {NetFault::kLate, 1500}, kResultOk, "TCP: request timeout"},
      {"BUSY first", {NetFault::kBusy}, kResultOk, ""},
      {"half a reply, then the connection closed", {NetFault::kClose}, kResultSocketFailed,
       "TCP: the device closed the connection in the middle of a reply; 185 bytes not taken"},
      {"a reset instead of a reply", {NetFault::kReset}, kResultSocketFailed, "SDNP: receive failed: ECONNRESET"},
  };
  uint32_t n = 0;
  for (const auto& c : cases) {
    sink.entries.clear();
    device.faults = {c.fault};
    ++n;
    EXPECT_EQ(Ask(EchoRequest(n, 360)), c.result) << c.what;
    if (c.result == kResultOk) {
      EXPECT_EQ(Reply(), EchoReply(n, 360)) << c.what;
    }
    if (*c.log_line) {
      EXPECT_TRUE(sink.Contains(c.log_line)) << c.what << ": " << testing::PrintToString(sink.entries);
    }
    if (c.result != kResultOk) {
      links.Disconnect();
      ASSERT_TRUE(Connect(kLinkTcp)) << c.what;
    }
    ++n;
    ASSERT_EQ(Ask(EchoRequest(n, 20)), kResultOk) << "the request after " << c.what;
    EXPECT_EQ(Reply(), EchoReply(n, 20)) << "the request after " << c.what;
  }
}

TEST_F(HostileTcpDevice, ReplyLongerThanAReplyCanBeIsNotTaken) {
  net.ModelAt(kDevice).ForceReply("00/00/00/" + std::string(3000, 'L'));
  EXPECT_EQ(Ask("v"), kResultNoAnswer);
  EXPECT_TRUE(sink.Contains("TCP: a reply of 3009 bytes is longer than 2044; not taken"));
  ASSERT_EQ(Ask(EchoRequest(1, kMaxReplyText - 11)), kResultOk);
  EXPECT_EQ(Reply(), EchoReply(1, kMaxReplyText - 11));
}

// --- UDP: serial packets in datagrams, without sequence numbers ---------------------

class HostileUdpDevice : public HostileNetwork {
 protected:
  sim::UdpDevice& device = net.AddUdpDevice(kDevice);
  void SetUp() override { ASSERT_TRUE(Connect(kLinkUdp)); }
};

// A reply later than the console waits comes while the console is at a later
// request, at some point of its exchange: never taken for that request's.
TEST_F(HostileUdpDevice, ALateReplyIsNeverTakenForALaterRequest) {
  uint32_t n = 0;
  for (uint32_t late_ms = 2500; late_ms < 2510; ++late_ms) {
    device.faults.request = {{NetFault::kLate, late_ms}};
    const uint32_t start = clock.GetTickCount();
    while (clock.GetTickCount() - start < late_ms + 100) {
      ++n;
      ASSERT_EQ(Ask(EchoRequest(n, n % 50)), kResultOk) << n;
      ASSERT_EQ(Reply(), EchoReply(n, n % 50)) << "late by " << late_ms << " ms";
    }
  }
}

}  // namespace
}  // namespace veritor
