// Devices that misbehave on purpose: the console ends every request with
// the reply the device sent for it or with a failure result and a log line,
// writes nothing outside its output folder and never reads or writes past
// a buffer (this file also runs under AddressSanitizer).

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "net/console_links.h"
#include "net/net_constants.h"
#include "net/sdnp_frame.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
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

class NoNetwork final : public Network {
 public:
  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>&) override { return 10050; }
  int OpenStreamSocket(std::unique_ptr<StreamSocket>&) override { return 10050; }
};

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

// The console's links over the in-process network, on a virtual clock.
class HostileNetwork : public ::testing::Test {
 protected:
  VirtualTickClock clock;
  sim::InProcessNetwork net{clock};
  HookedPump pump{net.pump()};
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, pump, log, display, prompts, state};
  NoSerialPorts no_ports;
  test::TempDir out;
  ConsoleLinks links{host, no_ports, net.network(), out.slash()};
  std::string data;

  bool Connect(int link) { return links.Connect(link, 0, "127.0.0.2", false).connected; }
  int Ask(const std::string& request) { return links.executor().ExecuteCommand(request, data, false); }
  const std::string& Reply() { return links.executor().ReplyBuffer(); }
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
  NoNetwork no_network;
  test::TempDir out;
  ConsoleLinks links{host, device.opener(), no_network, out.slash()};
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

// --- Datagram links: SDNP and UDP ------------------------------------------------------

class HostileDatagramDevice : public HostileNetwork, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    net.AddSdnpDevice(kDevice);
    net.AddUdpDevice(kDevice);
    ASSERT_TRUE(Connect(GetParam()));
  }
  // The sequence number of the console's last SDNP frame.
  uint16_t ConsoleFsn() const {
    for (auto it = net.Wire().rbegin(); it != net.Wire().rend(); ++it)
      if (it->from_console && it->bytes.size() >= kSdnpHeaderSize)
        return ReadSdnpHeader(reinterpret_cast<const uint8_t*>(it->bytes.data())).fsn;
    return 0;
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

// Another device on the network answers every frame of the console, with
// the right sequence number and a good checksum: its answers are not taken.
TEST_P(HostileDatagramDevice, FramesOfAnotherDeviceAreNeverTaken) {
  const std::string impostor = "00/00/00/IMPOSTOR";
  pump.each_turn = [&] {
    if (GetParam() == kLinkSdnp) {
      net.InjectDatagram(kOtherDevice, kSdnpPort, BuildSdnpFrame(kSdnpDeviceId, ConsoleFsn(), kSdnpRep, impostor));
    } else {
      net.InjectDatagram(kOtherDevice, kUdpPort, std::string(1, static_cast<char>(kUdpAck)));
      net.InjectDatagram(kOtherDevice, kUdpPort, BuildPacket(impostor));
    }
  };
  for (uint32_t n = 1; n <= 20; ++n) {
    ASSERT_EQ(Ask(EchoRequest(n, n)), kResultOk) << n;
    ASSERT_EQ(Reply(), EchoReply(n, n));
  }
  EXPECT_TRUE(sink.Contains(GetParam() == kLinkSdnp ? "SDNP: discarded; ip mismatch" : "UDP: discarded; ip mismatch"));
}

INSTANTIATE_TEST_SUITE_P(SdnpAndUdp, HostileDatagramDevice, ::testing::Values(kLinkSdnp, kLinkUdp),
                         [](const auto& info) { return info.param == kLinkSdnp ? "Sdnp" : "Udp"; });

// --- NUL bytes, on every link -------------------------------------------------------------

TEST_F(HostileNetwork, NulBytesInAReplyReachTheConsoleWholeOnEveryNetworkLink) {
  net.AddSdnpDevice(kDevice);
  net.AddTcpDevice(kDevice);
  net.AddUdpDevice(kDevice);
  const std::string reply("00/00/00/\0A\0\0B\0", 14);
  for (int link : {kLinkSdnp, kLinkTcp, kLinkUdp}) {
    ASSERT_TRUE(Connect(link)) << link;
    net.ModelAt(kDevice).ForceReply(reply);
    ASSERT_EQ(links.executor().ExecuteCommand("v", data, true), kResultOk) << link;
    EXPECT_EQ(Reply(), reply) << link;
    EXPECT_EQ(data, reply.substr(9)) << link;
    EXPECT_TRUE(sink.Contains("Replied frame []")) << link << ": the log shows the text up to the first NUL";
    links.Disconnect();
  }
}

TEST_F(HostileSerialDevice, NulBytesInAReplyReachTheConsoleWhole) {
  const std::string reply("00/00/00/\0A\0\0B\0", 14);
  device.model().ForceReply(reply);
  ASSERT_EQ(links.executor().ExecuteCommand("v", data, true), kResultOk);
  EXPECT_EQ(Reply(), reply);
  EXPECT_TRUE(sink.Contains("Replied frame []"));
}

// --- A real pty whose device end goes away -------------------------------------------

// The simulated device on the master end of a real pty as COM1, served on
// every turn of the console's pump. Unplug closes the master, as when the
// device's end of the line goes away; Plug makes a new pty for COM1.
class PtyDevice final : public MessagePump {
 public:
  PtyDevice(TickClock& clock, MessagePump& inner) : clock_(clock), inner_(inner) { Plug(); }
  ~PtyDevice() override {
    Unplug();
    unsetenv("VERITOR_COM1");
  }

  void Plug() {
    Unplug();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    setenv("VERITOR_COM1", ptsname(master_), 1);
  }
  void Unplug() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  // The device's end goes away once it has sent `more` bytes after those so far.
  void UnplugAfter(size_t more) { unplug_at_ = sent_ + more; }

  void PumpOneMessage() override {
    Serve();
    inner_.PumpOneMessage();
  }

  sim::DeviceModel model;
  sim::SerialDevice device{model};

 private:
  void Serve() {
    if (master_ < 0) return;
    uint8_t buffer[256];
    ssize_t n;
    const uint32_t now = clock_.GetTickCount();
    while ((n = read(master_, buffer, sizeof buffer)) > 0)
      for (ssize_t i = 0; i < n; ++i) device.OnHostByte(buffer[i], now);
    std::string due;
    device.TakeDue(now, due);
    if (unplug_at_ > 0 && sent_ + due.size() >= unplug_at_) due.resize(unplug_at_ - sent_);
    if (!due.empty() && write(master_, due.data(), due.size()) > 0) sent_ += due.size();
    if (unplug_at_ > 0 && sent_ >= unplug_at_) {
      Unplug();
      unplug_at_ = 0;
    }
  }

  TickClock& clock_;
  MessagePump& inner_;
  int master_ = -1;
  size_t sent_ = 0;
  size_t unplug_at_ = 0;
};

class HostilePty : public ::testing::Test {
 protected:
  SteadyTickClock clock;
  PollPump poll_pump;
  PtyDevice pty{clock, poll_pump};
  PosixPortOpener opener;
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, pty, log, display, prompts, state};
  NoNetwork no_network;
  test::TempDir out;
  ConsoleLinks links{host, opener, no_network, out.slash()};
  std::string data;
};

TEST_F(HostilePty, DeviceEndClosingInTheMiddleOfAReplyFailsTheRequestAndALaterConnectWorks) {
  ASSERT_TRUE(links.Connect(1, 115200, "", false).connected);
  // ACK of the enquiry, ACK of the packet, then 6 bytes of the reply: gone.
  pty.device.faults.reply = {sim::ReplyFault::Pause(6, 60000)};
  pty.UnplugAfter(2 + 6);
  sink.entries.clear();
  EXPECT_EQ(links.executor().ExecuteCommand("?", data, false), kResultReceiveStxTimeout);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Receive STX timeout"});

  links.Disconnect();
  pty.Plug();
  ASSERT_TRUE(links.Connect(1, 115200, "", false).connected) << testing::PrintToString(sink.entries);
  ASSERT_EQ(links.executor().ExecuteCommand(EchoRequest(7, 2000), data, false), kResultOk);
  EXPECT_EQ(links.executor().ReplyBuffer(), EchoReply(7, 2000));
}

}  // namespace
}  // namespace veritor
