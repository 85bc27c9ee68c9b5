#include "net/sdnp_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "net/ipv4_text.h"
#include "net/net_constants.h"
#include "net/socket_errors.h"
#include "net/tcp_link.h"
#include "net/udp_link.h"
#include "serial/packet.h"
#include "tests/support/fake_network.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"

namespace veritor {
namespace {

const Ipv4Address kDevice = 0x7F000002;  // 127.0.0.2
const Ipv4Address kOther = 0x7F000003;

std::string Bytes(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string DeviceFrame(uint16_t fsn, uint8_t opcode, std::string_view payload = {}) {
  return BuildSdnpFrame(kSdnpDeviceId, fsn, opcode, payload);
}

SdnpHeader Header(const std::string& frame) { return ReadSdnpHeader(reinterpret_cast<const uint8_t*>(frame.data())); }

TEST(SdnpFrame, WorkedExamplesByteForByte) {
  EXPECT_EQ(BuildSdnpFrame(kSdnpConsoleId, 0x0029, kSdnpReq, "v"),
            Bytes({0x8F, 0xE1, 0x29, 0x00, 0x21, 0x00, 0x01, 0x00, 0xCB, 0xAA, 0x85, 0xAD, 0x76}));
  EXPECT_EQ(BuildSdnpFrame(kSdnpConsoleId, 0x0029, kSdnpSyn, ""),
            Bytes({0x8F, 0xE1, 0x29, 0x00, 0x11, 0x00, 0x00, 0x00, 0x55, 0xAA, 0xFE, 0xAC}));
  const std::string act = Bytes({0x2D, 0x7A, 0x34, 0x12, 0x01, 0x00, 0x00, 0x00, 0x55, 0xAA});
  EXPECT_EQ(SdnpChecksum(reinterpret_cast<const uint8_t*>(act.data()), 10), 0xAC42);
  EXPECT_EQ(DeviceFrame(0x1234, kSdnpAct), act + Bytes({0x42, 0xAC}));
}

TEST(SocketErrorName, NamesTheTableAndNumbersTheRest) {
  const struct {
    int code;
    const char* name;
  } rows[] = {{10004, "EINTR"},          {10035, "EWOULDBLOCK"},    {10051, "ENETUNREACH"},
              {10054, "ECONNRESET"},     {10071, "EREMOTE"},        {10093, "NOTINITIALISED"},
              {10101, "EDISCON"},        {11004, "NO_DATA"},        {0, "Unknown 0x0000"},
              {10000, "Unknown 0x2710"}, {10072, "Unknown 0x2758"}, {10100, "Unknown 0x2774"},
              {65536, "Unknown 0x10000"}};
  for (const auto& row : rows) EXPECT_EQ(SocketErrorName(row.code), row.name) << row.code;
}

TEST(Ipv4Text, ReadsAddressesAsInetAddrDoesAndRefusesTheRest) {
  const struct {
    const char* text;
    std::optional<Ipv4Address> address;
  } rows[] = {{"127.0.0.2", 0x7F000002}, {"198.51.100.20", 0xC6336414}, {"126.1", 0x7E000001},
              {"127.1.2", 0x7F010002},   {"0x7f.2", 0x7F000002},      {"017.0.0.1", 0x0F000001},
              {"1.2.3", 0x01020003},     {"2130706434", 0x7F000002},  {" 127.0.0.2", 0x7F000002},
              {"127.0.0.2 ", 0x7F000002}, {"\t127.0.0.2 \t", 0x7F000002}, {"255.255.255.255", kBroadcastAddress},
              {"", std::nullopt},        {"  ", std::nullopt},        {"1.2.3.4.5", std::nullopt},
              {"256.1.1.1", std::nullopt}, {"host", std::nullopt},    {"1.2.3.", std::nullopt},
              {"127.0. 0.2", std::nullopt},
              // Each part at the top of its range and one past it.
              {"1.2.3.255", 0x010203FF}, {"1.2.3.256", std::nullopt}, {"1.2.65535", 0x0102FFFF},
              {"1.2.65536", std::nullopt}, {"1.16777215", 0x01FFFFFF}, {"1.16777216", std::nullopt},
              {"4294967295", 0xFFFFFFFF}, {"4294967296", std::nullopt}, {"255.2.3.4", 0xFF020304},
              {"1.255.3.4", 0x01FF0304}, {"1.256.3.4", std::nullopt}, {"1.2.255.4", 0x0102FF04},
              {"1.2.256.4", std::nullopt}, {"1.255.65535", 0x01FFFFFF}, {"1.256.0", std::nullopt},
              {"0xff.0377.1", 0xFFFF0001}, {"0x100.1", std::nullopt}, {"0400.1", std::nullopt},
              {"0xffffffff", 0xFFFFFFFF}, {"0x100000000", std::nullopt}, {"08.1", std::nullopt}};
  for (const auto& row : rows) EXPECT_EQ(ParseIpv4(row.text), row.address) << row.text;
  EXPECT_EQ(FormatIpv4(0xC6336414), "198.51.100.20");
  EXPECT_EQ(ShownRequest(std::string("a\tb\r\n")), "a.b..");
  EXPECT_EQ(ShownRequest(std::string(45, 'x')), std::string(40, 'x') + "...");
  EXPECT_EQ(ShownRequest(std::string(40, 'x')), std::string(40, 'x') + "...");  // 40 or more: cut, with dots
  EXPECT_EQ(ShownRequest(std::string(39, 'x')), std::string(39, 'x'));
  for (Ipv4Address device : {kDevice, Ipv4Address{0xC0A80114}, Ipv4Address{0x0A0000FF}})
    EXPECT_EQ(WhyNotADeviceAddress(device), nullptr) << FormatIpv4(device);
}

// A pump that moves the virtual clock and delivers what a test scheduled
// for that time: the parts of a device's answer that come later.
struct ScheduledPump final : MessagePump {
  explicit ScheduledPump(VirtualTickClock& clock) : clock(clock) {}
  void PumpOneMessage() override {
    clock.Advance(1);
    for (size_t i = 0; i < due.size();) {
      if (static_cast<int32_t>(clock.GetTickCount() - due[i].first) < 0) {
        ++i;
        continue;
      }
      const auto action = std::move(due[i].second);
      due.erase(due.begin() + static_cast<std::ptrdiff_t>(i));
      action();
    }
  }
  // In the order given for one time; the clock wraps, so no ordering by tick.
  void After(uint32_t ms, std::function<void()> action) { due.emplace_back(clock.GetTickCount() + ms, std::move(action)); }
  VirtualTickClock& clock;
  std::vector<std::pair<uint32_t, std::function<void()>>> due;
};

// The console's side of the network links against a scripted device.
class NetTest : public ::testing::Test, protected test::HostRecorders {
 protected:
  VirtualTickClock clock{0xFFFFF000u};
  ScheduledPump pump{clock};
  Host host = HostOn(clock, pump);
  test::FakeWire wire;
  test::FakeNetwork network{wire};
  NetLinks links{host, network};
  SdnpLink record;
  std::string reply;

  std::vector<std::string> SentOf(uint8_t opcode) {
    std::vector<std::string> frames;
    for (const auto& d : wire.sent)
      if (d.bytes.size() >= kSdnpHeaderSize && static_cast<uint8_t>(d.bytes[4]) == opcode) frames.push_back(d.bytes);
    return frames;
  }
  uint32_t Now() { return clock.GetTickCount(); }
};

class SdnpTest : public NetTest {
 protected:
  SdnpSession sdnp{links, record};
  // How the device answers each REQ; the default is a clean REP.
  std::function<void(uint16_t fsn, const std::string& payload)> on_request = [this](uint16_t fsn, const std::string&) {
    wire.Queue(DeviceFrame(fsn, kSdnpRep, "00/00/00/ok"), kDevice);
  };
  bool answer_sync = true;

  void SetUp() override {
    wire.respond = [this](const test::FakeWire::Datagram& sent) {
      const SdnpHeader header = Header(sent.bytes);
      if (header.opcode == kSdnpSyn && answer_sync) wire.Queue(DeviceFrame(header.fsn, kSdnpAck), kDevice);
      if (header.opcode == kSdnpQry) wire.Queue(DeviceFrame(header.fsn, kSdnpAct), kDevice);
      if (header.opcode == kSdnpReq) on_request(header.fsn, sent.bytes.substr(kSdnpHeaderSize));
    };
    ASSERT_EQ(sdnp.SdnpConnect(record, kDevice, true), kResultOk);
    sink.entries.clear();
    wire.sent.clear();
  }
  int Request(const std::string& request = "v") { return sdnp.Transact(request, reply, false); }
};

TEST_F(SdnpTest, SessionSyncsFirstThenCountsUpAndResyncsWhenIdle) {
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(reply, "00/00/00/ok");
  const auto syn = SentOf(kSdnpSyn);
  const auto req = SentOf(kSdnpReq);
  ASSERT_EQ(syn.size(), 1u);
  ASSERT_EQ(req.size(), 1u);
  const uint16_t n = Header(syn[0]).fsn;
  EXPECT_EQ(Header(req[0]).fsn, static_cast<uint16_t>(n + 1));
  EXPECT_EQ(wire.sent[0].port, 24222);
  EXPECT_EQ(Header(wire.sent.back().bytes).opcode, kSdnpNak) << "a reply is acknowledged with NAK";

  clock.Advance(3999);
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(SentOf(kSdnpSyn).size(), 1u) << "no SYN within 4 s";
  EXPECT_EQ(Header(SentOf(kSdnpReq).back()).fsn, static_cast<uint16_t>(n + 2));

  clock.Advance(4000);
  ASSERT_EQ(Request(), kResultOk);
  ASSERT_EQ(SentOf(kSdnpSyn).size(), 2u);
  // Two replies took the number to n + 3; the new session starts 8 on.
  EXPECT_EQ(Header(SentOf(kSdnpSyn).back()).fsn, static_cast<uint16_t>(n + 3 + 8));
  EXPECT_EQ(Header(SentOf(kSdnpReq).back()).fsn, static_cast<uint16_t>(n + 3 + 8 + 1));
  EXPECT_TRUE(sink.entries.empty());
}

TEST_F(SdnpTest, NakResendsAndRstResyncsWithoutUsingAnAttempt) {
  int requests = 0;
  on_request = [&](uint16_t fsn, const std::string&) {
    const uint8_t answers[] = {kSdnpNak, kSdnpRst, kSdnpRep};
    const uint8_t answer = answers[std::min(requests++, 2)];
    wire.Queue(DeviceFrame(fsn, answer, answer == kSdnpRep ? "00/00/00/ok" : ""), kDevice);
  };
  state.VerboseFlag = true;
  ASSERT_EQ(Request(), kResultOk);
  const auto req = SentOf(kSdnpReq);
  ASSERT_EQ(req.size(), 3u);
  EXPECT_EQ(Header(req[0]).fsn, Header(req[1]).fsn) << "NAK: the same REQ again";
  const auto syn = SentOf(kSdnpSyn);
  ASSERT_EQ(syn.size(), 2u);
  EXPECT_EQ(Header(syn[1]).fsn, static_cast<uint16_t>(Header(req[1]).fsn + 8));
  EXPECT_EQ(Header(req[2]).fsn, static_cast<uint16_t>(Header(syn[1]).fsn + 1));
  EXPECT_TRUE(sink.Contains("SDNP: request nak'ed; resending"));
  EXPECT_TRUE(sink.Contains("SDNP: resyncronize request"));
  EXPECT_FALSE(sink.Contains("SDNP: request timeout"));
}

TEST_F(SdnpTest, BadDataChecksumIsNakedAndAGoodReplyInTheSameWindowCounts) {
  on_request = [&](uint16_t fsn, const std::string&) {
    std::string bad = DeviceFrame(fsn, kSdnpRep, "00/00/00/bad");
    bad[8] ^= 1;  // data checksum
    bad[10] = static_cast<char>(bad[10] - 1);  // header checksum follows it
    wire.Queue(bad, kDevice);
    wire.Queue(DeviceFrame(fsn, kSdnpRep, "00/00/00/good"), kDevice);
  };
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(reply, "00/00/00/good");
  EXPECT_EQ(sink.entries, std::vector<std::string>{"SDNP: data checksum error"});
  EXPECT_EQ(SentOf(kSdnpNak).size(), 2u);
}

// Devices that stay silent or refuse: each exchange gives up after its tries, one line a try but the last,
// then one line that says what failed, on the virtual clock.
TEST_F(SdnpTest, DevicesThatNeverAnswerAreGivenUpAfterTheirTries) {
  SdnpLink other;
  const struct {
    const char* what;
    std::function<int()> run;
    std::string line;
    size_t times;
    std::string last;
    size_t requests;  // REQ frames sent
    uint32_t min_ms, max_ms;
  } cases[] = {
      {"silent to requests", [&] { on_request = [](uint16_t, const std::string&) {}; return Request(); },
       "SDNP: request timeout", 6, "SDNP: request failed", 6, 6000, 6100},
      {"silent to syncs", [&] { answer_sync = false; return Request(); }, "SDNP: sync timeout", 8, "SDNP: sync failed",
       0, 0, 10000},
      {"refuses every request",
       [&] {
         answer_sync = true;
         on_request = [&](uint16_t fsn, const std::string&) { wire.Queue(DeviceFrame(fsn, kSdnpNak), kDevice); };
         return Request();
       },
       "SDNP: request nak'ed; resending", 16, "SDNP: request failed; the device refused it 17 times (NAK or RST)", 17, 0,
       10000},
      {"silent to queries", [&] { wire.respond = nullptr; return sdnp.SdnpConnect(other, kOther, true); },
       "SDNP: query timeout", 8, "SDNP: query failed", 0, 4000, 10000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink.entries.clear();
    wire.sent.clear();
    const uint32_t start = Now();
    EXPECT_EQ(c.run(), kResultNoAnswer);
    EXPECT_EQ(sink.Count(c.line), c.times);
    EXPECT_EQ(sink.entries.back(), c.last);
    EXPECT_EQ(sink.Count("SDNP: request failed"), c.last == "SDNP: request failed" ? 1u : 0u);
    EXPECT_EQ(SentOf(kSdnpReq).size(), c.requests);
    EXPECT_GE(Now() - start, c.min_ms);
    EXPECT_LE(Now() - start, c.max_ms);
    EXPECT_FALSE(record.synced);
  }
}

// The reply to a REQ is awaited for 1000 ms, counted from the REQ, on the virtual clock: at the limit and one
// millisecond past it. (The session's 4000 ms of idle time: SessionSyncsFirstThenCountsUpAndResyncsWhenIdle.)
TEST_F(SdnpTest, RepliesAtTheirLimitAndOneMillisecondPast) {
  uint32_t delay = 0;  // of the first reply only
  on_request = [&](uint16_t fsn, const std::string&) {
    pump.After(std::exchange(delay, 0), [this, fsn] { wire.Queue(DeviceFrame(fsn, kSdnpRep, "00/00/00/ok"), kDevice); });
  };
  for (const uint32_t late : {1000u, 1001u}) {
    SCOPED_TRACE(late);
    delay = late;
    sink.entries.clear();
    ASSERT_EQ(Request(), kResultOk);
    EXPECT_EQ(sink.Count("SDNP: request timeout"), late > 1000 ? 1u : 0u);
  }
}

TEST_F(SdnpTest, RequestThatDoesNotFitAFrameIsRefusedWhole) {
  EXPECT_EQ(Request(std::string(500, 'a')), kResultOk);
  EXPECT_EQ(Request(std::string(501, 'a')), kResultRequestTooLong);
  EXPECT_EQ(sink.entries.back(), "SDNP: request of 501 bytes does not fit a frame (500 at most); not sent");
  EXPECT_EQ(SentOf(kSdnpReq).size(), 1u);
}

TEST_F(SdnpTest, IntakeChecksRunInTheirOrderAndEachDiscardIsLogged) {
  std::string bad_header = DeviceFrame(7, kSdnpAct);
  bad_header[10] ^= 1;
  std::string bad_length = DeviceFrame(7, kSdnpRep, "abc");
  bad_length.pop_back();
  std::string echo = BuildSdnpFrame(kSdnpConsoleId, 7, kSdnpAct, "");
  const std::string largest = DeviceFrame(7, kSdnpRep, std::string(500, 'p'));
  // Bytes after the stated length, up to the largest datagram and one past it.
  const std::string trailing_byte = DeviceFrame(7, kSdnpRep, std::string(499, 'p')) + "x";
  wire.Queue(std::string(11, 'x'), kDevice);
  wire.Queue(std::string(513, 'x'), kDevice);
  wire.Queue(trailing_byte, kDevice);
  wire.Queue(largest + "x", kDevice);
  wire.Queue("", kDevice);
  wire.Queue(DeviceFrame(7, kSdnpRep, "00/00/00/IMPOSTOR"), kOther);  // good in all but its sender
  wire.Queue(bad_header, kDevice);
  wire.Queue(bad_length, kDevice);
  wire.Queue(echo, kDevice);
  wire.Queue(largest, kDevice);
  bool taken = false;
  ASSERT_EQ(sdnp.SdnpReceive(record, taken), kResultOk);
  EXPECT_TRUE(taken);
  EXPECT_EQ(record.rx_size, 512u);
  // 0xAA55 + 0x2D + 0x7A + 0x07 + 0x01 + 0x55 + 0xAA = 0xAC03, the frame's checksum before its bit 0 was turned.
  const char checksum_line[] = "SDNP: checksum 0xAC02 bad (expected 0xAC03)";
  EXPECT_EQ(sink.entries, (std::vector<std::string>{
                              "SDNP: discarded, frame too small (11)", "SDNP: discarded, frame size invalid (513)",
                              "SDNP: bad data length 499 (expected 500)", "SDNP: discarded, frame size invalid (513)",
                              "SDNP: discarded, frame too small (0)", "SDNP: discarded; ip mismatch", checksum_line,
                              "SDNP: bad data length 3 (expected 2)", "SDNP: invalid 'id' 0xE18F (expected 0x7A2D)"}));
  EXPECT_TRUE(wire.incoming.empty());
}

TEST_F(SdnpTest, FrameLinesShowOnlyWithDetails) {
  state.VerboseFlag = true;
  on_request = [&](uint16_t fsn, const std::string&) {
    wire.Queue(DeviceFrame(fsn, kSdnpRep, "00/00/00/\r\n" + std::string(130, 'z')), kDevice);
  };
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(sink.entries[0], "Sending 'v'");
  EXPECT_EQ(sink.entries[1], "SDNP: synchronizing");
  EXPECT_EQ(sink.entries[2].substr(0, 21), "127.0.0.2 <-- SYN(fsn");
  const std::string rep_line = sink.entries[5];
  EXPECT_EQ(rep_line.substr(0, 23), "127.0.0.2 --> REP(fsn=0");
  EXPECT_NE(rep_line.find("'00/00/00/.." + std::string(109, 'z') + "...'"), std::string::npos) << rep_line;
}

// Up to 100 devices are listed, with a line when more answered.
TEST_F(SdnpTest, DetectionListsEachDeviceOnceInOrderOfFirstAnswer) {
  std::vector<Ipv4Address> many;
  for (Ipv4Address device = 0x7F000100; device <= 0x7F000164; ++device) many.push_back(device);
  const std::vector<Ipv4Address> hundred(many.begin(), many.end() - 1);
  const struct {
    std::vector<Ipv4Address> answering;
    std::vector<Ipv4Address> listed;
    std::vector<std::string> log;
  } cases[] = {{{}, {}, {}},
               {{kDevice}, {kDevice}, {}},
               {{kOther, kDevice, kOther}, {kOther, kDevice}, {}},
               {hundred, hundred, {}},
               {many, hundred, {"SDNP: more than 100 devices answered; the first 100 are listed"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answering.size());
    sink.entries.clear();
    wire.respond = [&](const test::FakeWire::Datagram& sent) {
      EXPECT_EQ(sent.peer, kBroadcastAddress);
      for (Ipv4Address device : c.answering) wire.Queue(DeviceFrame(Header(sent.bytes).fsn, kSdnpAct), device);
      wire.Queue(DeviceFrame(Header(sent.bytes).fsn + 1, kSdnpAct), 0x7F000009);  // another exchange
    };
    std::vector<Ipv4Address> devices;
    const uint32_t start = Now();
    EXPECT_EQ(sdnp.SdnpDetect(devices), kResultOk);
    EXPECT_EQ(devices, c.listed);
    EXPECT_EQ(sink.entries, c.log);
    EXPECT_GE(Now() - start, 8u * 500u) << "detection always listens the full time";
  }
}

TEST_F(NetTest, SocketFailuresAreNamed) {
  SdnpSession sdnp{links, record};
  wire.bind_error = 10048;
  EXPECT_EQ(sdnp.SdnpInit(), kResultSocketFailed);
  EXPECT_EQ(sink.entries.back(), "SDNP: failed binding socket: EADDRINUSE");
  wire.bind_error = 0;
  ASSERT_EQ(sdnp.SdnpConnect(record, kDevice, false), kResultOk);
  wire.send_error = 10051;
  EXPECT_EQ(sdnp.Transact("v", reply, false), kResultSocketFailed);
  EXPECT_EQ(sink.entries.back(), "SDNP: send failed: ENETUNREACH");
}

class TcpTest : public NetTest {
 protected:
  TcpLink tcp{links};
  void SetUp() override {
    ASSERT_EQ(tcp.TcpConnect(record, kDevice, true), kResultOk);
    sink.entries.clear();
  }
  int Request(const std::string& request = "v") { return tcp.Transact(request, reply, false); }

  // What a device sends for one line it read: pieces, each after its delay
  // from the line, then perhaps the end of the connection.
  struct Piece {
    uint32_t after_ms;
    std::string bytes;
    enum class End { kNone, kClose, kReset } end = End::kNone;
  };
  using Answer = std::vector<Piece>;
  // The device answers each line the console sends; `seen` counts the sends of that line.
  void Device(std::function<Answer(const std::string& line, int seen)> answer) {
    wire.respond = [this, answer, seen = std::map<std::string, int>{}](const test::FakeWire::Datagram& sent) mutable {
      const std::string line = sent.bytes.substr(0, sent.bytes.size() - 2);
      for (const Piece& piece : answer(line, ++seen[line])) {
        // What the device sends on a connection the console has left goes nowhere.
        auto deliver = [this, piece, connection = network.streams_opened] {
          if (network.streams_opened != connection) return;
          wire.stream_in += piece.bytes;
          wire.peer_closed = wire.peer_closed || piece.end == Piece::End::kClose;
          wire.peer_reset = wire.peer_reset || piece.end == Piece::End::kReset;
        };
        if (piece.after_ms == 0) deliver();
        else pump.After(piece.after_ms, deliver);
      }
    };
  }
  static Answer Echo(const std::string& line, uint32_t after_ms = 0, const char* end = "\r\n") {
    return {{after_ms, "00/00/00/" + line + end}};
  }
  size_t CountStartingWith(const std::string& prefix) {
    return std::ranges::count_if(sink.entries, [&](const std::string& entry) { return entry.starts_with(prefix); });
  }
};

TEST_F(TcpTest, RequestGoesAsTextAndCrLfAndTheReplyIsWhatComesBeforeItsCrLf) {
  Device([](const std::string& line, int) { return Echo(line); });
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(wire.sent[0].bytes, "v\r\n");
  EXPECT_EQ(wire.sent[0].port, 24222);
  EXPECT_EQ(reply, "00/00/00/v");
  // The longest reply there is, with its CR LF; requests of any length.
  for (size_t length : {size_t{752}, size_t{2035}}) {
    ASSERT_EQ(Request(std::string(length, 'q')), kResultOk);
    EXPECT_EQ(wire.sent.back().bytes.size(), length + 2);
    EXPECT_EQ(reply.size(), length + 9);
  }
  Device([](const std::string& line, int) { return Echo(line + "x"); });
  EXPECT_EQ(Request(std::string(2035, 'q')), kResultNoAnswer);
  EXPECT_EQ(sink.entries.back(), "TCP: a reply of 2045 bytes is longer than 2044; not taken");
  Device([](const std::string& line, int) { return Echo(line); });
  EXPECT_EQ(Request(std::string(2035, 'q')), kResultOk) << "the longest reply is taken whole after it";
}

// Slow devices: each request is resent on the same connection after its
// second, and an answer to any of its sends serves it; the answers still
// owed to its other sends are waited for and dropped, and where they do not
// come, or the request failed, the connection is closed with them, so that
// every reply is the reply to its own request. A reply under way is not resent.
TEST_F(TcpTest, LateAnswersServeTheirOwnRequestAndNoOther) {
  const auto late = [](size_t bytes) {
    return "TCP: " + std::to_string(bytes) + " bytes of late answers to the request's earlier sends dropped";
  };
  const std::vector<std::string> six_timeouts(6, "TCP: request timeout");
  const struct {
    const char* what;
    int requests;
    std::function<Answer(const std::string& line, int seen)> device;
    size_t sent;
    std::vector<std::string> log;  // in the order of the requests
    int connections = 0;           // new ones
    int fails = 0;                 // the request that gets no answer
  } cases[] = {
      {"every answer 1.1 s late", 20, [](const std::string& line, int) { return Echo(line, 1100); }, 40, {}},
      {"e/3's first answer 2.2 s late, its resend's at once", 5,
       [](const std::string& line, int seen) { return Echo(line, line == "e/3" && seen == 1 ? 2200 : 0); }, 6,
       {"TCP: request timeout", late(14)}},
      {"e/3 answered 2.2 s late every time", 5,
       [](const std::string& line, int) { return Echo(line, line == "e/3" ? 2200 : 0); }, 7,
       {"TCP: request timeout", "TCP: request timeout", late(28)}},
      {"e/1 in 3 pieces 600 ms apart", 3,
       [](const std::string& line, int seen) {
         if (line != "e/1" || seen > 1) return Echo(line);
         return Answer{{0, "00/00/"}, {600, "00/e"}, {1200, "/1\r\n"}};
       },
       3, {}},
      {"e/2 not heard the first time", 3,
       [](const std::string& line, int seen) { return line == "e/2" && seen == 1 ? Answer{} : Echo(line); }, 4,
       {"TCP: request timeout", "TCP: 1 of 1 late answers did not come; the connection is closed with them"}, 1},
      {"e/2 answered 6.5 s late, after it failed; e/3 0.6 s late", 3,
       [](const std::string& line, int) { return Echo(line, line == "e/2" ? 6500 : line == "e/3" ? 600 : 0); }, 8,
       six_timeouts, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink.entries.clear();
    wire.sent.clear();
    Device(c.device);
    const int connections = network.streams_opened;
    std::vector<std::string> replies, expected;
    for (int i = 1; i <= c.requests; ++i) {
      const std::string request = "e/" + std::to_string(i);
      EXPECT_EQ(Request(request), i == c.fails ? kResultNoAnswer : kResultOk) << request;
      if (i == c.fails) continue;
      replies.push_back(reply);
      expected.push_back("00/00/00/" + request);
    }
    EXPECT_EQ(replies, expected);
    std::vector<std::string> log = c.log;
    if (c.fails > 0) log.push_back("SDNP: request failed");
    if (log.empty() && c.sent > static_cast<size_t>(c.requests))
      for (const std::string& own : expected) log.insert(log.end(), {"TCP: request timeout", late(own.size() + 2)});
    EXPECT_EQ(sink.entries, log);
    EXPECT_EQ(wire.sent.size(), c.sent);
    EXPECT_EQ(network.streams_opened - connections, c.connections);
    clock.Advance(10000);  // nothing more is owed
    ASSERT_EQ(Request("after"), kResultOk);
    EXPECT_EQ(reply, "00/00/00/after");
  }
}

// How the device ends its replies is a setting. With each setting a device
// gets every reply whole or a clear failure, never a cut reply taken as good,
// and a reply without its end is never resent (the device would run it twice).
TEST_F(TcpTest, EachReplyEndSettingTakesWholeRepliesOrFailsClearly) {
  const auto bare_then_close = [](const std::string& line, int) {
    return Answer{{0, "00/00/00/" + line}, {5, "", Piece::End::kClose}};
  };
  int n = 0;
  const auto every_other_bare = [&n](const std::string& line, int) {
    return Echo(line, 0, ++n % 2 == 0 ? "" : "\r\n");
  };
  const auto bare_in_pieces = [](const std::string& line, int) {
    return Answer{{0, "00/00"}, {30, "/00/"}, {60, line}};
  };
  const std::string not_taken = "TCP: no CR LF ended the reply within 6000 ms; 12 bytes not taken";
  const struct {
    const char* what;
    TcpReplyEnd end;
    std::function<Answer(const std::string& line, int seen)> device;
    std::vector<int> results;
    std::vector<std::string> log;
    size_t sent;
    int connections;
    uint32_t most_ms;
  } cases[] = {
      {"bare replies, then a close; close", TcpReplyEnd::kClose, bare_then_close, {kResultOk, kResultOk, kResultOk},
       {}, 3, 2, 25},
      {"bare replies, then a close; crlf", TcpReplyEnd::kCrLf, bare_then_close, {kResultSocketFailed},
       {"TCP: the device closed the connection in the middle of a reply; 12 bytes not taken"}, 1, 0, 10},
      {"every other reply bare; crlf", TcpReplyEnd::kCrLf, every_other_bare, {kResultOk, kResultNoAnswer, kResultOk},
       {not_taken, "SDNP: request failed"}, 3, 1, 6010},
      {"every other reply bare; quiet", TcpReplyEnd::kQuiet, every_other_bare, {kResultOk, kResultOk, kResultOk}, {},
       3, 0, 3 * 55},
      {"bare replies in pieces 30 ms apart; quiet", TcpReplyEnd::kQuiet, bare_in_pieces,
       {kResultOk, kResultOk, kResultOk}, {}, 3, 0, 3 * 115},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tcp.SetReplyEnd(c.end);
    n = 0;
    tcp.TcpClose();  // a new connection for each device
    ASSERT_EQ(tcp.TcpConnect(record, kDevice, true), kResultOk);
    sink.entries.clear();
    wire.sent.clear();
    Device(c.device);
    const int connections = network.streams_opened;
    const uint32_t start = Now();
    std::vector<int> results;
    for (size_t i = 0; i < c.results.size(); ++i) {
      const std::string request = "e/" + std::to_string(i + 1);
      results.push_back(Request(request));
      if (results.back() == kResultOk) {
        EXPECT_EQ(reply, "00/00/00/" + request);
      }
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(sink.entries, c.log);
    EXPECT_EQ(wire.sent.size(), c.sent);
    EXPECT_EQ(network.streams_opened - connections, c.connections);
    EXPECT_LE(Now() - start, c.most_ms);
  }
  EXPECT_EQ(ParseTcpReplyEnd("close"), TcpReplyEnd::kClose);
  EXPECT_EQ(ParseTcpReplyEnd("CRLF"), std::nullopt);
}

// Devices that close or reset the connection: after a whole reply (the next
// request connects again by itself), before their answer or when the console
// sends (the request goes again at once on a new connection, once), in the
// middle of a reply (the request fails). Whatever happened, the next request
// connects by itself and takes its reply.
TEST_F(TcpTest, DevicesThatCloseOrResetTheConnection) {
  const std::string again = "TCP: the device closed the connection; connecting again";
  const std::string reset_again = "TCP: the device reset the connection (ECONNRESET); connecting again";
  using End = Piece::End;
  const struct {
    const char* what;
    std::function<Answer(int send)> device;  // its answer to the n-th send
    std::vector<int> results;
    std::vector<std::string> log;
    size_t sent;
    int connections;
  } cases[] = {
      {"a whole reply, then close", [](int) { return Answer{{0, "00/00/00/ok\r\n", End::kClose}}; },
       {kResultOk, kResultOk, kResultOk}, {again, again}, 3, 2},
      {"a whole reply, then reset", [](int) { return Answer{{0, "00/00/00/ok\r\n"}, {1, "", End::kReset}}; },
       {kResultOk, kResultOk}, {reset_again}, 2, 1},
      {"close before the answer, once",
       [](int send) { return send == 1 ? Answer{{0, "", End::kClose}} : Answer{{0, "00/00/00/ok\r\n"}}; },
       {kResultOk}, {again}, 2, 1},
      {"reset before the answer, once",
       [](int send) { return send == 1 ? Answer{{0, "", End::kReset}} : Answer{{0, "00/00/00/ok\r\n"}}; },
       {kResultOk}, {reset_again}, 2, 1},
      {"close before the answer, always", [](int) { return Answer{{0, "", End::kClose}}; },
       {kResultSocketFailed}, {again, "TCP: the device closed the connection"}, 2, 1},
      {"close in the middle of a reply", [](int) { return Answer{{0, "00/00/", End::kClose}}; },
       {kResultSocketFailed}, {"TCP: the device closed the connection in the middle of a reply; 6 bytes not taken"}, 1, 0},
      {"reset in the middle of a reply", [](int) { return Answer{{0, "00/00/"}, {1, "", End::kReset}}; },
       {kResultSocketFailed}, {"TCP: the device reset the connection in the middle of a reply; 6 bytes not taken"}, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink.entries.clear();
    wire.sent.clear();
    const int connections = network.streams_opened;
    const uint32_t start = Now();
    int sends = 0;
    Device([&](const std::string&, int) { return c.device(++sends); });
    std::vector<int> results;
    for (size_t i = 0; i < c.results.size(); ++i) results.push_back(Request());
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(sink.entries, c.log);
    EXPECT_EQ(wire.sent.size(), c.sent);
    EXPECT_EQ(network.streams_opened - connections, c.connections);
    EXPECT_LE(Now() - start, 10u);
    if (c.results.front() == kResultOk) {
      EXPECT_EQ(reply, "00/00/00/ok");
    }
    Device([](const std::string&, int) { return Answer{{0, "00/00/00/back\r\n"}}; });
    ASSERT_EQ(Request(), kResultOk);
    EXPECT_EQ(reply, "00/00/00/back");
  }
  // A send that finds the connection gone connects again at once.
  sink.entries.clear();
  wire.send_error = 10054;
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(sink.entries, std::vector<std::string>{reset_again});
}

TEST_F(TcpTest, ARequestHoldingALineEndIsRefusedAndNothingIsSent) {
  for (const char* request : {"a\rb", "a\nb", "ab\r\n"}) {
    EXPECT_EQ(Request(request), kResultRequestTooLong);
    EXPECT_EQ(sink.entries.back(),
              "TCP: the request holds CR or LF, which would end it early on the stream; not sent");
  }
  EXPECT_TRUE(wire.sent.empty());
}

TEST_F(TcpTest, AConnectionStandsOnlyForTheDeviceItWasMadeTo) {
  ASSERT_EQ(tcp.TcpConnect(record, kDevice, true), kResultOk);
  EXPECT_EQ(network.streams_opened, 1);
  ASSERT_EQ(tcp.TcpConnect(record, kOther, true), kResultOk);
  EXPECT_EQ(network.streams_opened, 2) << "another address: another connection";
}

class UdpTest : public NetTest {
 protected:
  UdpLink udp{links, record};
  // What the device answers to a request packet, by request number.
  std::function<void(int number, const std::string& packet)> on_packet = [this](int, const std::string&) {
    wire.Queue(test::DevicePacket("00/00/00/abc"), kDevice);
  };

  void SetUp() override {
    int packets = 0;
    wire.respond = [this, packets](const test::FakeWire::Datagram& sent) mutable {
      if (sent.bytes == std::string(1, kUdpEnq)) {
        wire.Queue(std::string(1, kUdpAck), kDevice);
      } else if (sent.bytes.size() > 1) {
        on_packet(packets++, sent.bytes);
      }
    };
    ASSERT_EQ(udp.UdpConnect(record, kDevice, true), kResultOk);
    sink.entries.clear();
  }
  int Request(const std::string& request = "v") {
    state.VerboseFlag = true;
    return udp.Transact(request, reply, true);
  }
  std::vector<std::string> Sent() {
    std::vector<std::string> bytes;
    for (const auto& d : wire.sent) bytes.push_back(d.bytes);
    return bytes;
  }
};

TEST_F(UdpTest, EachRequestSyncsThenSendsThePacketAndAcknowledgesTheReply) {
  ASSERT_EQ(Request(), kResultOk);
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(reply, "00/00/00/abc");
  const std::string enq(1, kUdpEnq), ack(1, kUdpAck), packet = "\x02v/65\x03";
  EXPECT_EQ(Sent(), (std::vector<std::string>{enq, packet, ack, enq, packet, ack}));
  EXPECT_EQ(wire.sent[1].port, 9101);
  ASSERT_EQ(Request(std::string(1999, 'u')), kResultOk);
  EXPECT_EQ(wire.sent[wire.sent.size() - 2].bytes.size(), 1999u + 5u);
  ASSERT_EQ(Request("a\r\nb"), kResultOk);  // line ends go as typed
  EXPECT_EQ(wire.sent[wire.sent.size() - 2].bytes, "\x02" "a\r\nb/09\x03");  // 0x61 + 0x0D + 0x0A + 0x62 + 0x2F = 265
}

// The bytes the console sends on the UDP link's retry paths, each with its
// time on the virtual clock (ms from the first request; this device answers
// at once, and the console reads what is pending before it pumps again),
// for two requests:
// a sync before every sending after a time-out or a resync (the sync holds
// 1000 ms), none after a NAK; after a time-out, the next request waits one
// attempt's time for the answer the first sending may still owe.
TEST_F(UdpTest, RetryPathsSendTheseBytesAtTheseTimes) {
  const struct {
    const char* first_answer;
    std::vector<std::string> sent;
    const char* line;  // logged once
  } cases[] = {
      {"none", {"0 ENQ", "1 v/65", "2001 ENQ", "2002 v/65", "2002 ACK", "4002 ENQ", "4003 v/65", "4003 ACK"},
       "UDP: request timeout"},
      {"NAK", {"0 ENQ", "0 v/65", "0 v/65", "0 ACK", "0 ENQ", "0 v/65", "0 ACK"}, "SDNP: request nak'ed; resending"},
      {"resync", {"0 ENQ", "0 v/65", "0 ENQ", "0 v/65", "0 ACK", "0 ENQ", "0 v/65", "0 ACK"},
       "SDNP: resyncronize request"},
      {"bad checksum, then the reply", {"0 ENQ", "0 v/65", "0 NAK", "0 ACK", "0 ENQ", "0 v/65", "0 ACK"},
       "UDP: data checksum error"},
      {"no ACK to the first ENQ", {"0 ENQ", "400 ENQ", "401 v/65", "401 ACK", "401 ENQ", "401 v/65", "401 ACK"},
       "UDP: sync timeout"},
  };
  const auto shown = [](const std::string& bytes) -> std::string {
    if (bytes == std::string(1, kUdpEnq)) return "ENQ";
    if (bytes == std::string(1, kUdpAck)) return "ACK";
    if (bytes == std::string(1, kUdpNak)) return "NAK";
    return bytes.substr(1, bytes.size() - 2);
  };
  const auto device = wire.respond;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_answer);
    const std::string first = c.first_answer;
    const uint32_t start = Now();
    std::vector<std::string> sent;
    int packets = 0, enquiries = 0;
    wire.respond = [&](const test::FakeWire::Datagram& datagram) {
      sent.push_back(std::to_string(Now() - start) + " " + shown(datagram.bytes));
      if (datagram.bytes == std::string(1, kUdpEnq) && ++enquiries == 1 && first == "no ACK to the first ENQ") return;
      device(datagram);
    };
    on_packet = [&](int, const std::string&) {
      if (packets++ == 0) {
        if (first == "NAK") return wire.Queue(std::string(1, kUdpNak), kDevice);
        if (first == "resync") return wire.Queue(std::string(1, kUdpResync), kDevice);
        if (first == "bad checksum, then the reply") wire.Queue("\x02" "00/00/00/abc/99\x03", kDevice);
        if (first == "none") return;
      }
      wire.Queue(test::DevicePacket("00/00/00/abc"), kDevice);
    };
    sink.entries.clear();
    ASSERT_EQ(Request(), kResultOk);
    EXPECT_EQ(reply, "00/00/00/abc");
    ASSERT_EQ(Request(), kResultOk);
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(sink.Count(c.line), 1u) << testing::PrintToString(sink.entries);
  }
}

// Datagrams other than the device's reply packet are dropped whole: from another address, of no packet's size,
// or damaged so that the sum still matches (those are NAKed).
TEST_F(UdpTest, ForeignMalformedAndDamagedDatagramsAreDroppedWhole) {
  on_packet = [&](int, const std::string&) {
    wire.Queue(test::DevicePacket("00/00/00/spoof"), kOther);
    wire.Queue("", kDevice);
    wire.Queue("\x02/0", kDevice);
    wire.Queue(std::string(65507, 'x'), kDevice);
    wire.Queue("\x02" "00/00/00/las/t44\x03", kDevice);  // "t" and "/" swapped: same bytes, same sum
    wire.Queue("\x02" "00/00/00/abc//<\x03", kDevice);   // '/' - '0' is -1, '<' - '0' is 12: -10 + 12 is the sum
    wire.Queue(test::DevicePacket("00/00/00/real"), kDevice);
  };
  ASSERT_EQ(Request(), kResultOk);
  EXPECT_EQ(reply, "00/00/00/real");
  for (const char* line : {"UDP: discarded; ip mismatch", "UDP: discarded, datagram size invalid (0)",
                           "UDP: discarded, datagram size invalid (3)", "UDP: discarded, datagram size invalid (65507)"})
    EXPECT_EQ(sink.Count(line), 1u) << line;
  EXPECT_EQ(sink.Count("UDP: data checksum error"), 2u);
}

// A device that ACKs some request packets and not others, ACKs an ENQ only
// after the console's 400 ms, or ACKs twice: every reply is taken.
TEST_F(UdpTest, AckBytesThatComeLateOrNotAtAllNeverCostAReply) {
  int enquiries = 0;
  wire.respond = [&](const test::FakeWire::Datagram& sent) {
    const std::string ack(1, kUdpAck);
    if (sent.bytes == std::string(1, kUdpEnq)) {
      // The third request's ENQ is answered late, the resent ENQ at once.
      if (++enquiries == 3) pump.After(450, [&, ack] { wire.Queue(ack, kDevice); });
      else wire.Queue(ack, kDevice);
      return;
    }
    if (sent.bytes.size() == 1) return;
    const std::string text = "00/00/00/" + sent.bytes.substr(1, sent.bytes.size() - 5);
    switch (enquiries) {
      case 1: wire.Queue(ack, kDevice); wire.Queue(test::DevicePacket(text), kDevice); break;
      case 2: wire.Queue(test::DevicePacket(text), kDevice); pump.After(5, [&, ack] { wire.Queue(ack, kDevice); }); break;
      default: wire.Queue(test::DevicePacket(text), kDevice); break;
    }
  };
  for (const std::string request : {"acked", "not-acked", "late-enq-ack", "after-late", "plain"}) {
    ASSERT_EQ(Request(request), kResultOk) << request << testing::PrintToString(sink.entries);
    EXPECT_EQ(reply, "00/00/00/" + request);
  }
  EXPECT_FALSE(sink.Contains("UDP: request timeout"));
}

// The first request packet is lost; the device answers every request with
// the same text, as it does for each data block of a signing. Each later
// request is sent once and its reply taken: none is dropped as a copy.
TEST_F(UdpTest, RepliesEqualToAnEarlierOneAreTakenAndEachRequestGoesOnce) {
  on_packet = [&](int number, const std::string&) {
    if (number > 0) wire.Queue(test::DevicePacket("00/00/00/"), kDevice);
  };
  for (int block = 0; block < 4; ++block) {
    ASSERT_EQ(Request("@/block"), kResultOk) << block;
    EXPECT_EQ(reply, "00/00/00/");
  }
  int packets = 0;
  for (const std::string& sent : Sent()) packets += sent.size() > 1;
  EXPECT_EQ(packets, 2 + 3) << "a resend for the lost packet, then one packet a request";
  EXPECT_EQ(sink.Count("UDP: request timeout"), 1u);
}

// As on SDNP: a silent or refusing device is given up after its tries, the last without a line of its own.
TEST_F(UdpTest, DevicesThatNeverAnswerAreGivenUpAfterTheirTries) {
  const struct {
    const char* what;
    std::function<void()> device;
    std::vector<std::string> lines;  // each logged `times` times
    size_t times;
    std::string last;
    size_t sent;  // datagrams; 0: not counted
  } cases[] = {
      {"refuses every request",
       [&] { on_packet = [&](int, const std::string&) { wire.Queue(std::string(1, kUdpNak), kDevice); }; },
       {"SDNP: request nak'ed; resending"}, 16, "UDP: request failed; the device refused it 17 times (NAK or resync)",
       18},  // one ENQ, then the packet and every resend
      {"silent to requests", [&] { on_packet = [](int, const std::string&) {}; }, {"UDP: request timeout"}, 6,
       "UDP: request failed", 0},
      {"silent to syncs, but for other bytes",
       [&] { wire.respond = [&](const test::FakeWire::Datagram&) { wire.Queue("\x07", kDevice); }; },
       {"UDP: sync timeout", "UDP: sync response ignored (opcode)"}, 8, "UDP: sync failed", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.device();
    sink.entries.clear();
    wire.sent.clear();
    EXPECT_EQ(Request(), kResultNoAnswer);
    for (const std::string& line : c.lines) EXPECT_EQ(sink.Count(line), c.times) << line;
    EXPECT_EQ(sink.entries.back(), c.last);
    EXPECT_EQ(sink.Count("UDP: request failed"), c.last == "UDP: request failed" ? 1u : 0u);
    EXPECT_EQ(c.sent > 0 ? Sent().size() : 0u, c.sent);
  }
}

}  // namespace
}  // namespace veritor
