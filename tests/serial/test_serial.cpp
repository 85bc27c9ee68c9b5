#include "serial/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <utility>
#include <set>
#include <tuple>

#include "core/control_ids.h"
#include "platform/posix_serial.h"
#include "serial/packet.h"
#include "sim/in_process.h"
#include "session/console_links.h"
#include "tests/support/fake_network.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"

namespace veritor {
namespace {

using sim::AnswerFault;
using sim::ReplyFault;
using test::ReadFile;

const std::string kInfoReply = "00/00/00/" + std::string(sim::DeviceModel::kDeviceInfo);

TEST(Packet, ChecksumIsTheByteSumWithTheSlashModuloHundredAndAReplyBodyMustEndInIt) {
  const struct {
    std::string text;
    unsigned checksum;
  } cases[] = {
      {"v", 65},                     // 0x76 + 0x2F = 165
      {"", 47},                      // the "/" alone
      {"zz", 35},                    // 0x7A + 0x7A + 0x2F = 291: only 8 bits count, 35
      {std::string(3, '\xFF'), 44},  // 0x2FD + 0x2F = 0x32C: 0x2C = 44
  };
  for (const auto& c : cases) EXPECT_EQ(PacketChecksum(c.text), c.checksum) << c.text;
  EXPECT_EQ(BuildPacket("v"), "\x02v/65\x03");

  // A reply body counts only when it ends in a slash and two decimal digits that match.
  const struct {
    std::string body;
    bool good;
  } bodies[] = {
      {"00/00/00/73", true},
      {"00/00/00/74", false},
      {"00/00/00/6=", false},                 // '=' - '0' is 13: 6 * 10 + 13 is the sum, but no digit
      {"00/00/00\xCB" "73", false},           // a damaged "/" whose byte leaves the sum modulo 100 as it was
      {std::string("]0--*\0\0\0\0\xFF\xFF\xFC\xFF\xFF\n\n\x1A" "9\n%.\xFF\xFF\x07\xCD", 25), false},
  };
  for (const auto& c : bodies) {
    std::string text = "unchanged";
    EXPECT_EQ(ExtractPacketText(c.body, text), c.good) << c.body;
    EXPECT_EQ(text, c.good ? c.body.substr(0, c.body.size() - 3) : "unchanged") << c.body;
  }
}

// A reply text whose packet body has `body` bytes; with `decoy`, its first
// 2047 bytes end in "/" and the two digits that check them, as if the
// packet ended there.
std::string ReplyForBody(size_t body, bool decoy = false) {
  std::string text = "00/00/00/" + std::string(kMaxReplyText - 9, 'R');
  if (decoy) {
    const std::string packet = test::DevicePacket(text);
    text += packet.substr(packet.size() - 4, 3);  // "/" and the two digits
  }
  text.resize(body - 3, 'R');
  return text;
}

// The lines for bytes that came where an STX belongs: the first 16 have a line each, the rest are counted.
std::vector<std::string> StrayLines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (unsigned char byte : bytes.substr(0, 16)) {
    char line[64];
    std::snprintf(line, sizeof line, "Expected STX, received 0x%02X. Ignored", byte);
    lines.push_back(line);
  }
  if (bytes.size() >= 16) lines.push_back("Further bytes before STX are counted, not logged");
  return lines;
}

// A console on the virtual clock whose COM1 is the port `opener` makes.
struct WireConsole : test::VirtualHost {
  explicit WireConsole(PortOpener& opener) : ports{host, opener} {
    EXPECT_EQ(ports.OpenPort(1, 115200, 'N', 8, 1), 1) << testing::PrintToString(sink.entries);
  }
  SerialPorts ports;
  test::TempDir out;
  ZReportFiles z_report{log, prompts, out.slash()};
  SerialLink link{host, ports, z_report};
  CommandExecutor executor{host, link};
  std::string reply;
};

class SerialLinkTest : public ::testing::Test, protected test::HostRecorders {
 protected:
  VirtualTickClock clock{0xFFFFF000u};  // the tick counter wraps during the tests
  sim::InProcessSerial device{clock};
  Host host = HostOn(clock, device.pump());
  SerialPorts ports{host, device.opener()};
  test::TempDir out;
  ZReportFiles z_report{log, prompts, out.slash()};
  SerialLink link{host, ports, z_report};
  CommandExecutor executor{host, link};
  std::string reply;

  void SetUp() override { ASSERT_EQ(ports.OpenPort(1, 115200, 'N', 8, 1), 1); }

  int Transact(const std::string& request) {
    const int result = link.SerialTransaction(request, reply, false);
    EXPECT_EQ(state.TransactionInProgress, 0);
    return result;
  }
  size_t HostCount(uint8_t byte) const { return std::ranges::count(device.HostBytes(), static_cast<char>(byte)); }
};

TEST_F(SerialLinkTest, CleanExchangeOnTheWire) {
  EXPECT_EQ(Transact("v"), kResultOk);
  EXPECT_EQ(reply, kInfoReply);
  EXPECT_EQ(device.HostBytes(), std::string("\x18\x18\x18\x05" "\x02v/65\x03" "\x06"));
  EXPECT_EQ(device.DeviceBytes(), "\x06\x06" + test::DevicePacket(kInfoReply));
  EXPECT_EQ(display.fields[kIdRequestField], "v");
  EXPECT_TRUE(sink.entries.empty());
}

// Each fault of the device, one after the other on the same line: the
// result, the whole log, the request packets and NAKs the console sent and
// the virtual time it took; and the exchange after it goes through.
TEST_F(SerialLinkTest, EachDeviceFaultEndsWithItsResultAndLogLines) {
  const auto lines = [](size_t n, const std::string& line, const std::string& last) {
    std::vector<std::string> all(n, line);
    all.push_back(last);
    return all;
  };
  const auto too_long = lines(3, "Reply packet longer than 2047 bytes; not taken", "Request retries failed");
  struct Case {
    const char* what;
    std::deque<AnswerFault> enq = {}, packet = {};
    std::deque<ReplyFault> reply = {};
    std::string forced = {};  // a reply text the device sends in place of its own
    int result;
    std::vector<std::string> log = {};
    size_t packets = 1, naks = 0;
    uint32_t min_ms = 0, max_ms = 60000;
  };
  const Case cases[] = {
      {.what = "NAK, then ACK to ENQ", .enq = {AnswerFault::kNak}, .result = kResultOk,
       .log = {"Enquire #0 not acked (0x15)"}},
      {.what = "CAN to ENQ", .enq = {AnswerFault::kCan}, .result = kResultCanceledByPeer, .log = {"Canceled by peer"},
       .packets = 0},
      {.what = "silent device", .enq = {3, AnswerFault::kSilence}, .result = kResultEnquireFailed,
       .log = {"Enquire #0 timedout", "Enquire #1 timedout", "Enquire #2 timedout", "Enquire state failed"},
       .packets = 0, .min_ms = 3003, .max_ms = 3010},
      {.what = "packet NAKed 5 times", .packet = {5, AnswerFault::kNak}, .result = kResultPacketNotAcked,
       .log = lines(4, "Packet not acknowledged, retrying", "Packet not acknowledged"), .packets = 5},
      {.what = "CAN to the packet", .packet = {AnswerFault::kCan}, .result = kResultPacketNotAcked,
       .log = {"Packet not acknowledged"}},
      {.what = "packet unanswered 5 times", .packet = {5, AnswerFault::kSilence}, .result = kResultPacketNotAcked,
       .log = lines(5, "Packet acknowledge timed out", "Packet not acknowledged"), .packets = 5, .min_ms = 5 * 2000},
      {.what = "bad checksum", .reply = {ReplyFault::BadChecksum()}, .result = kResultOk, .naks = 1},
      {.what = "ten bytes", .reply = {ReplyFault::Short()}, .result = kResultOk, .naks = 1},
      {.what = "over 2047 bytes", .reply = {ReplyFault::Long(3000)}, .result = kResultOk,
       .log = {too_long[0]}, .naks = 1},
      {.what = "three bad packets", .reply = {3, ReplyFault::BadChecksum()}, .result = kResultRetriesFailed,
       .log = {"Request retries failed"}, .naks = 3},
      {.what = "the longest reply, 2044 characters", .forced = ReplyForBody(2047), .result = kResultOk},
      {.what = "NUL bytes", .forced = std::string("00/00/00/\0A\0\0B\0", 14), .result = kResultOk},
      {.what = "2048 bytes", .forced = ReplyForBody(2048), .result = kResultRetriesFailed, .log = too_long, .naks = 3},
      {.what = "10,000 bytes", .forced = ReplyForBody(10000), .result = kResultRetriesFailed, .log = too_long,
       .naks = 3},
      {.what = "10,000 bytes whose first 2047 check out", .forced = ReplyForBody(10000, true),
       .result = kResultRetriesFailed, .log = too_long, .naks = 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sink.entries.clear();
    device.device().faults.enq = c.enq;
    device.device().faults.packet = c.packet;
    device.device().faults.reply = c.reply;
    if (!c.forced.empty()) device.model().ForceReply(c.forced);
    const size_t packets = HostCount(kStx), naks = HostCount(kNak);
    const uint32_t start = clock.GetTickCount();
    EXPECT_EQ(Transact("v"), c.result);
    EXPECT_GE(clock.GetTickCount() - start, c.min_ms);
    EXPECT_LE(clock.GetTickCount() - start, c.max_ms);
    EXPECT_EQ(sink.entries, c.log);
    EXPECT_EQ(HostCount(kStx) - packets, c.packets);
    EXPECT_EQ(HostCount(kNak) - naks, c.naks);
    if (c.result == kResultOk) {
      EXPECT_EQ(reply, c.forced.empty() ? kInfoReply : c.forced);
    }
    // A late reply or a resend must not confuse the next exchange.
    EXPECT_EQ(Transact("?"), kResultOk);
    EXPECT_EQ(reply.substr(0, 8), "00/00/00");
  }
}

// A stop that the operator asks for at a given time of the virtual clock.
struct StopAt final : ActionControl {
  explicit StopAt(TickClock& clock) : clock(clock) {}
  void ReportProgress(const ActionProgress&) override {}
  bool StopRequested() override { return at_ms != 0 && clock.GetTickCount() >= at_ms; }
  TickClock& clock;
  uint32_t at_ms = 0;  // 0: never
};

// Devices that keep one exchange going for ever: busy for ever, a NAK every
// 10 ms where the reply's STX belongs, or an STX and then bytes without end.
// Each reply phase ends within 15 s with a line that says why. A stop ends
// the BUSY repeat at its next turn, and a wait for the device once it has
// been pending for the grace time, saying what the device may hold.
TEST(WireSerialEndlessExchange, EndsWithinItsBoundOrAtTheStop) {
  const std::string awaiting = "Stopped while awaiting the reply; the device may have carried out the request";
  const struct {
    const char* what;
    const char* reply;  // to every request; empty: none
    const char* stream;  // bytes sent every 10 ms once the request is acknowledged
    bool stx_first;  // the stream follows an STX
    uint32_t stop_at_ms;
    int result;
    std::string last_line;
    uint32_t max_ms;
  } rows[] = {
      {"NAKs before STX", "", "\x15", false, 0, kResultReplyOverrun,
       "No good reply within 15 s of the request (1500 bytes came before any STX); request given up", 15002},
      {"STX, then no ETX", "", "x", true, 0, kResultReplyOverrun,
       "No ETX ended the reply packet within 15 s of the request; request given up", 15002},
      {"NAKs before STX, stopped", "", "\x15", false, 2000, kResultStopped, awaiting, 2000 + Host::kStopGraceMs + 10},
      {"STX, then no ETX, stopped", "", "x", true, 2000, kResultStopped, awaiting, 2000 + Host::kStopGraceMs + 10},
      {"silent, stopped", "", "", false, 1000, kResultStopped, awaiting, 1000 + Host::kStopGraceMs + 10},
      {"busy for ever, stopped", "0E/00/00", "", false, 2000, kResultStopped,
       "Stopped while the device answered busy (0x0E); the request was not carried out", 2000 + 10},
      {"printer off line for ever, stopped", "1A/00/00", "", false, 2000, kResultStopped,
       "Stopped while the device answered busy (0x1A); the request was not carried out", 2000 + 10},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::WireSerialDevice device;
    WireConsole console(device);
    StopAt stop(console.clock);
    stop.at_ms = row.stop_at_ms == 0 ? 0 : console.clock.GetTickCount() + row.stop_at_ms;
    console.host.control = &stop;
    device.answer = [&](const std::string&) {
      console.clock.Advance(1);  // the device answers in a millisecond
      return std::string(row.reply);
    };
    uint32_t turns = 0;
    console.pump.each_turn = [&] {
      if (device.requests.empty() || ++turns % 10 != 0) return;
      if (row.stx_first && turns == 10) device.Send("\x02");
      device.Send(row.stream);
    };
    const uint32_t start = console.clock.GetTickCount();
    EXPECT_EQ(console.executor.ExecuteCommand("v", console.reply, false), row.result);
    EXPECT_LE(console.clock.GetTickCount() - start, row.max_ms);
    const auto& log = console.sink.entries;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), row.last_line);
    // Stray bytes: the first 16 each have their line, the rest are counted.
    const size_t stray_lines = std::ranges::count_if(log, [](const std::string& l) { return l.starts_with("Expected STX"); });
    EXPECT_LE(stray_lines, 16u);
    EXPECT_LE(log.size(), 18u);
  }
}

// Ports 1 to 4 only: the others are refused before the opener is asked (it
// would log "COMn: No such port"), and a closed port does nothing.
TEST_F(SerialLinkTest, PortsOutsideTheTableAndClosedPortsDoNothing) {
  for (int port : {-1, 0, 5, 6, 7, 8, 9, 10, 11, 12, 13}) EXPECT_EQ(ports.OpenPort(port, 9600, 'N', 8, 1), 0) << port;
  EXPECT_EQ(ports.OpenPort(4, 9600, 'N', 8, 1), 1) << "COM4, the last port that opens";
  EXPECT_TRUE(sink.entries.empty());
  device.FailOpens("Permission denied");
  EXPECT_EQ(ports.OpenPort(1, 9600, 'N', 8, 1), 1) << "already open: kept as it is";
  EXPECT_EQ(ports.OpenPort(2, 9600, 'N', 8, 1), 0);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"COM2: Permission denied"});
  ports.ClosePort(1);
  ports.ClosePort(1);
  EXPECT_EQ(Transact("v"), kResultEnquireFailed);
  EXPECT_EQ(ports.InputCount(1), 0u);
  EXPECT_EQ(ports.ReadPortByte(1), 0);
}

// Bytes that would break the packet never go out: nothing is written.
TEST_F(SerialLinkTest, ARequestHoldingStxOrEtxIsRefusedAndNothingIsSent) {
  for (const std::string& request : {std::string("a\x02" "b"), std::string("ab\x03"), std::string("\x02v/65\x03")}) {
    sink.entries.clear();
    EXPECT_EQ(Transact(request), kResultRequestTooLong);
    EXPECT_EQ(sink.entries, std::vector<std::string>{
                                "The request holds STX or ETX, which would break its packet on the serial line; not sent"});
  }
  EXPECT_EQ(device.HostBytes(), "");
}

// A device on a pty, the console's side opened as a real serial line. It
// counts the CANs and ACKs the host sends, and leaves stray bytes on the
// line after each reply, for the next enquiry's purge to drop.
class PtyCountingDevice {
 public:
  PtyCountingDevice() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    EXPECT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    wire.answer = [](const std::string& request) { return "00/00/00/" + request; };
  }
  ~PtyCountingDevice() { close(master_); }
  std::string path() const { return ptsname(master_); }
  // Waits up to 1 ms (real time) for the host's bytes, then answers them.
  void Turn() {
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, 1);
    for (uint8_t byte; read(master_, &byte, 1) == 1; port_->WriteByte(byte)) {
      cans += byte == 0x18;
      acks += byte == 0x06;
    }
    std::string out;
    for (uint8_t byte; port_->ReadByte(byte);) out += static_cast<char>(byte);
    if (out.ends_with('\x03')) out += "\x7F\x7F";
    EXPECT_EQ(write(master_, out.data(), out.size()), ssize_t(out.size()));
  }
  test::WireSerialDevice wire;
  int cans = 0, acks = 0;

 private:
  int master_;
  std::unique_ptr<BytePort> port_ = wire.Open(1, {}).port;
};

TEST(SerialLine, EveryByteTheHostWritesReachesTheDeviceAndStrayBytesAreDroppedBeforeAnEnquiry) {
  PtyCountingDevice device;
  struct PtyOpener final : PortOpener {
    explicit PtyOpener(std::string path) : path(std::move(path)) {}
    PortOpenResult Open(unsigned, const LineSettings& settings) override { return opener.OpenPath(path, settings); }
    PosixPortOpener opener;
    std::string path;
  } opener(device.path());
  WireConsole console(opener);
  console.pump.each_turn = [&] { device.Turn(); };
  constexpr int kExchanges = 30;
  for (int i = 0; i < kExchanges; ++i) {
    const std::string request = "e/" + std::to_string(i);
    ASSERT_EQ(console.link.SerialTransaction(request, console.reply, false), kResultOk)
        << testing::PrintToString(console.sink.entries);
    EXPECT_EQ(console.reply, "00/00/00/" + request);
  }
  for (int turn = 0; turn < 20 && device.acks < kExchanges; ++turn) device.Turn();
  EXPECT_EQ(device.wire.requests.size(), size_t{kExchanges});
  EXPECT_EQ(device.cans, 3 * kExchanges);
  EXPECT_EQ(device.acks, kExchanges);
  EXPECT_TRUE(console.sink.entries.empty()) << testing::PrintToString(console.sink.entries);
}

// A device written from the wire alone whose answers come late: the ACK to the first ENQ after `enq_ms`, the ACK
// to the first request packet after `ack_ms` (a later one at once), the reply packet `stx_ms` after the ACK with
// its bytes from the fifth on `pause_ms` later. A NAK brings the reply again at once.
struct LateDevice final : PortOpener, BytePort {
  PortOpenResult Open(unsigned, const LineSettings&) override {
    return {std::unique_ptr<BytePort>(new Relay(*this)), "late", ""};
  }
  size_t InputCount() override {
    return static_cast<size_t>(std::ranges::count_if(out, [&](const auto& b) { return Due(b.first); }));
  }
  bool ReadByte(uint8_t& byte) override {
    if (out.empty() || !Due(out.front().first)) return false;
    byte = out.front().second;
    out.pop_front();
    return true;
  }
  bool WriteByte(uint8_t byte) override {
    const uint32_t now = clock->GetTickCount();
    if (byte == 0x05) Send(now + std::exchange(enq_ms, 0), "\x06");
    if (byte == 0x15) Send(now, test::DevicePacket("00/00/00/late"));
    if (byte == 0x03) {
      const uint32_t ack = now + std::exchange(ack_ms, 0);
      Send(ack, "\x06");
      const std::string packet = test::DevicePacket("00/00/00/late");
      Send(ack + stx_ms, packet.substr(0, 5));
      Send(ack + stx_ms + pause_ms, packet.substr(5));
    }
    if (byte == 0x15) ++naks;
    return true;
  }
  void Purge() override { out.clear(); }
  // Bytes leave in order: none before those sent earlier.
  void Send(uint32_t due, const std::string& bytes) {
    if (!out.empty() && static_cast<int32_t>(out.back().first - due) > 0) due = out.back().first;
    for (char c : bytes) out.emplace_back(due, static_cast<uint8_t>(c));
  }
  bool Due(uint32_t due) const { return static_cast<int32_t>(clock->GetTickCount() - due) >= 0; }
  // The port the console holds; the device outlives it.
  struct Relay final : BytePort {
    explicit Relay(LateDevice& device) : device(device) {}
    size_t InputCount() override { return device.InputCount(); }
    bool ReadByte(uint8_t& byte) override { return device.ReadByte(byte); }
    bool WriteByte(uint8_t byte) override { return device.WriteByte(byte); }
    void Purge() override { device.Purge(); }
    LateDevice& device;
  };
  TickClock* clock = nullptr;  // the console's
  uint32_t enq_ms = 0, ack_ms = 0, stx_ms = 0, pause_ms = 0;
  int naks = 0;
  std::deque<std::pair<uint32_t, uint8_t>> out;
};

// Each wait ends once more than its time has passed: on the virtual clock, whose every turn is 1 ms, a byte due
// in the turn the wait ends (limit + 1) is still taken, one due a turn later is not.
TEST(SerialWaits, AnAnswerInTheLastTurnOfAWaitIsTakenAndOneTurnLaterIsNot) {
  // The reply's bytes from the fifth on, come after the wait for the next byte ended, are skipped one by one.
  const std::vector<std::string> strays = StrayLines(test::DevicePacket("00/00/00/late").substr(5));
  const struct {
    uint32_t enq_ms, ack_ms, stx_ms, pause_ms;
    int result;
    std::vector<std::string> log;
    int naks;
  } cases[] = {
      {1001, 0, 0, 0, kResultOk, {}, 0},
      {1002, 0, 0, 0, kResultOk, {"Enquire #0 timedout"}, 0},
      {0, 2001, 0, 0, kResultOk, {}, 0},
      {0, 2002, 0, 0, kResultOk, {"Packet acknowledge timed out"}, 0},
      {0, 0, 2001, 0, kResultOk, {}, 0},
      {0, 0, 2002, 0, kResultReceiveStxTimeout, {"Receive STX timeout"}, 0},
      {0, 0, 0, 501, kResultOk, {}, 0},
      {0, 0, 0, 502, kResultOk, strays, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.enq_ms << " " << c.ack_ms << " " << c.stx_ms << " " << c.pause_ms);
    LateDevice device;
    std::tie(device.enq_ms, device.ack_ms, device.stx_ms, device.pause_ms) =
        std::tie(c.enq_ms, c.ack_ms, c.stx_ms, c.pause_ms);
    WireConsole console(device);
    device.clock = &console.clock;
    EXPECT_EQ(console.link.SerialTransaction("v", console.reply, false), c.result);
    EXPECT_EQ(console.sink.entries, c.log);
    EXPECT_EQ(device.naks, c.naks);
    EXPECT_EQ(console.reply, c.result == kResultOk ? "00/00/00/late" : "");
  }
}

// A pump on the virtual clock that keeps the descriptors it is asked to watch.
struct WatchingPump final : MessagePump {
  explicit WatchingPump(VirtualTickClock& clock) : clock(clock) {}
  void PumpOneMessage() override { clock.Advance(1); }
  void WatchInput(int fd) override { watched.insert(fd); }
  void UnwatchInput(int fd) override { watched.erase(fd); }
  VirtualTickClock& clock;
  std::multiset<int> watched;
};

// A port whose device did not answer Connect's "v" is closed again, so a later Connect opens it afresh with the
// speed then chosen; Disconnect and the console's end close it too, and the pump stops watching it each time.
TEST(SerialConnect, APortWhoseDeviceDidNotAnswerIsClosedAndOpensAfreshOnTheNextConnect) {
  test::HostRecorders console;
  VirtualTickClock clock;
  WatchingPump pump{clock};
  Host host = console.HostOn(clock, pump);
  test::WireSerialDevice device;
  device.wait_handle = 42;
  test::FakeWire wire;
  test::FakeNetwork network{wire};
  test::TempDir out;
  ConsoleLinks links{host, device, network, out.slash()};
  device.Script({{"v", {""}}});  // no reply
  EXPECT_FALSE(links.Connect(1, 9600, "", false).connected);
  EXPECT_EQ(console.sink.entries.back(), "Fatal device comm error");
  EXPECT_EQ(device.open_ports, 0);
  EXPECT_TRUE(pump.watched.empty());

  device.Script({{"v", {"00/00/00/info"}}});
  const ConsoleLinks::ConnectOutcome outcome = links.Connect(1, 19200, "", false);
  EXPECT_TRUE(outcome.connected);
  EXPECT_EQ(outcome.device_info, "info");
  EXPECT_EQ(device.speeds, (std::vector<unsigned long>{9600, 19200}));
  EXPECT_EQ(device.open_ports, 1);
  EXPECT_EQ(pump.watched, std::multiset<int>{42});
  links.Disconnect();
  EXPECT_EQ(device.open_ports, 0);
  EXPECT_TRUE(pump.watched.empty());
  EXPECT_TRUE(links.Connect(4, 38400, "", false).connected);
  links.CloseAll();
  EXPECT_EQ(device.open_ports, 0);
  EXPECT_TRUE(pump.watched.empty());
  EXPECT_EQ(device.speeds.back(), 38400u);
  EXPECT_EQ(device.requests, (std::vector<std::string>(3, "v")));
}

// The Z report: "A" names it, "Q" brings its lines into the A file, "x/2"
// puts the A file's fingerprint into the B file and to the operator. The Q
// reply for the last line is 75 characters: the console keeps the first 60.
const std::string kLongLine = "VAT 3.00" + std::string(56, '.');

// The SHA-1 of the text, by sha1sum: the B file's expectation comes from the
// report's text as the device sent it, not from the A file on disk.
std::string Sha1OfText(const std::string& text) {
  test::TempDir dir;
  test::WriteFile(dir.file("text"), text);
  std::string digits = test::RunProgram({"/usr/bin/sha1sum", dir.file("text")}).out.substr(0, 40);
  for (char& c : digits) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return digits;
}

// A device of a few lines that sends its report with warning codes. BUSY is
// asked again and stays out of the report; 0x80, 0x24 and the rest count; a
// device error with no data adds nothing; a line with a NUL is written up to
// it, as the log shows it.
struct WireDevice {
  test::WireSerialDevice device;
};
class WireZReportTest : public ::testing::Test, protected WireDevice, protected WireConsole {
 protected:
  WireZReportTest() : WireConsole(device) {}
  bool details = false;

  void SetUp() override {
    test::WriteFile(out.file("Z0042_a.txt"), "earlier report\r\n");
    test::WriteFile(out.file("Z0042_b.txt"), "B OF THE EARLIER REPORT");
  }
  int Execute(const std::string& request) { return executor.ExecuteCommand(request, reply, details); }
};

// When the signature step cannot do its part (no report named yet, the A
// file gone, the B file not writable), the request is not sent, nothing is
// written to the B file and no question is asked.
TEST_F(WireZReportTest, SignatureRequestIsNotSentWhenAFileFails) {
  const std::string a_file = out.file("Z0043_a.txt"), b_file = out.file("Z0043_b.txt");
  const auto expect_not_sent = [&](const char* request, int result, const std::string& line, const std::string& box) {
    const size_t sent = device.requests.size();
    sink.entries.clear();
    EXPECT_EQ(Execute(request), result);
    EXPECT_EQ(device.requests.size(), sent);
    EXPECT_EQ(sink.entries, std::vector<std::string>{line});
    EXPECT_EQ(prompts.boxes.back().caption, "Error");
    EXPECT_EQ(prompts.boxes.back().text, box);
  };
  expect_not_sent("x/5", kResultNoReport,
                  "Cannot create the B file: no report has been named by an \"A\" request; request not sent",
                  "Error creating '_b.txt' file");
  device.Script({{"A", {"00/00/00/001/Z0043"}}, {"Q", {"00/00/00/0/Total 1.00", "00/00/00/3/"}}});
  for (const char* request : {"A", "Q", "Q"}) ASSERT_EQ(Execute(request), kResultOk);
  std::filesystem::rename(a_file, a_file + ".gone");
  expect_not_sent("x/2", kResultFingerprintFailed,
                  "Cannot read the A file '" + a_file + "' (cannot open); no signature written, request not sent",
                  "Error reading '_a.txt' file");
  EXPECT_FALSE(std::filesystem::exists(b_file));
  std::filesystem::rename(a_file + ".gone", a_file);
  // Only a regular file is written: never a folder, a link (whose file would
  // take the fingerprint) or a FIFO (whose open would wait for a reader).
  test::WriteFile(out.file("elsewhere"), "kept");
  const std::pair<std::function<void()>, std::string> b_files[] = {
      {[&] { std::filesystem::create_directory(b_file); }, "Is a directory"},
      {[&] { std::filesystem::create_symlink(out.file("elsewhere"), b_file); }, "not a regular file but a symbolic link"},
      {[&] { mkfifo(b_file.c_str(), 0600); }, "not a regular file but a FIFO"},
  };
  for (const auto& [make, reason] : b_files) {
    std::filesystem::remove(b_file);
    make();
    expect_not_sent("x/2", kResultBFileFailed, "Cannot write the B file '" + b_file + "': " + reason + "; request not sent",
                    "Error creating '_b.txt' file");
  }
  EXPECT_EQ(ReadFile(out.file("elsewhere")), "kept");
  EXPECT_EQ(prompts.questions, 0);
}

TEST_F(WireZReportTest, RepliesWithWarningCodesAreTheReportAndItIsTheOneSigned) {
  details = true;
  device.Script({{"A", {"0E/00/00", "80/00/00/001/Z0043"}},
                 {"Q", {"1A/00/00/0/offline", "80/00/00/0/Total 1.00", "24/00/00/1/header", "06/00/00",
                        std::string("80/00/00/0/A\0B", 14), "00/00/00/0/" + kLongLine, "80/00/00/3/"}},
                 {"x/2", {"00/00/00"}}});
  ASSERT_EQ(Execute("A"), kResultOk);
  for (int i = 0; i < 7; ++i) ASSERT_EQ(Execute("Q"), kResultOk);
  EXPECT_FALSE(z_report.AFileIsOpen());
  const std::string report = "Total 1.00\r\nA\r\n" + kLongLine.substr(0, 49) + "\r\n";  // a reply is cut to 60
  EXPECT_EQ(ReadFile(out.file("Z0043_a.txt")), report);
  EXPECT_TRUE(sink.Contains("Replied frame [0/A]"));
  EXPECT_TRUE(sink.Contains("Report line holds a NUL byte: written up to it (1 of 3 bytes)"));
  EXPECT_FALSE(z_report.TakeFileFailure());

  prompts.answers = {true};
  ASSERT_EQ(Execute("x/2"), kResultOk);
  const std::string b_file = ReadFile(out.file("Z0043_b.txt"));
  EXPECT_EQ(b_file, Sha1OfText(report));
  EXPECT_NE(prompts.boxes.back().text.find(b_file), std::string::npos);
  EXPECT_EQ(ReadFile(out.file("Z0042_b.txt")), "B OF THE EARLIER REPORT");
  EXPECT_EQ(device.requests.back(), "x/2");
}

// An "A" reply that names no report, a name that would lead outside the
// folder, or no reply at all leaves no report in hand: the Z request after it
// is not sent, no question is asked, the earlier report's files stay and
// nothing is written anywhere else.
TEST_F(WireZReportTest, AReplyNamingNoReportLeavesNoneInHand) {
  std::filesystem::create_directory(out.file("Z0044_a.txt"));
  test::WriteFile(out.file("elsewhere"), "kept");
  std::filesystem::create_symlink(out.file("elsewhere"), out.file("Z0045_a.txt"));
  mkfifo(out.file("Z0046_a.txt").c_str(), 0600);
  struct Case {
    std::string reply;
    std::string line;  // the A step's log line
    std::string why;
  };
  const auto refused = [&](const std::string& name) {
    return Case{"00/00/00/001/" + name, "Report name '" + name + "' refused: it would lead outside " + out.slash(),
                "the report name of the last reply to \"A\" was refused"};
  };
  const Case cases[] = {
      {"06/00/00", "The reply to \"A\" names no report; no A file written", "the last reply to \"A\" named no report"},
      {"00/00/00/001/", "The reply to \"A\" names no report; no A file written",
       "the last reply to \"A\" named no report"},
      refused("../evil"), refused("a/b"), refused("..\\evil"), refused(".."), refused("Z\x01"),
      {"80/00/00/001/Z0044", "Cannot create the A file '" + out.file("Z0044_a.txt") + "': Is a directory",
       "the A file of report 'Z0044' could not be created"},
      {"00/00/00/001/Z0045",
       "Cannot create the A file '" + out.file("Z0045_a.txt") + "': not a regular file but a symbolic link",
       "the A file of report 'Z0045' could not be created"},
      {"00/00/00/001/Z0046", "Cannot create the A file '" + out.file("Z0046_a.txt") + "': not a regular file but a FIFO",
       "the A file of report 'Z0046' could not be created"},
      {"00/00/00/001/Z\xFF", "Report name 'Z\xFF' refused: it holds a byte that code page 1253 leaves undefined",
       "the report name of the last reply to \"A\" was refused"},
      {"", "Receive STX timeout", "no reply to the last \"A\" has named a report"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    device.Script({{"A", {"00/00/00/001/Z0042", c.reply}}, {"Q", {"00/00/00/0/line", "00/00/00/3/"}}});
    ASSERT_EQ(Execute("A"), kResultOk);
    ASSERT_EQ(Execute("Q"), kResultOk);
    ASSERT_EQ(Execute("Q"), kResultOk);
    EXPECT_EQ(Execute("A"), c.reply.empty() ? kResultReceiveStxTimeout : kResultOk);
    EXPECT_TRUE(sink.Contains(c.line)) << testing::PrintToString(sink.entries);
    if (!c.reply.empty()) {
      EXPECT_EQ(prompts.boxes.back().text, "Error creating '_a.txt' file");
      EXPECT_TRUE(z_report.TakeFileFailure());
    }
    EXPECT_FALSE(z_report.TakeFileFailure());
    ASSERT_EQ(Execute("Q"), kResultOk);
    EXPECT_EQ(ReadFile(out.file("Z0042_a.txt")), "line\r\n");

    const size_t sent = device.requests.size();
    const int questions = prompts.questions;
    for (const char* request : {"x/2", "x/5"}) {
      sink.entries.clear();
      EXPECT_EQ(Execute(request), kResultNoReport);
      EXPECT_EQ(sink.entries, std::vector<std::string>{"Cannot create the B file: " + c.why + "; request not sent"});
    }
    EXPECT_EQ(device.requests.size(), sent);
    EXPECT_EQ(prompts.questions, questions);
    EXPECT_EQ(ReadFile(out.file("Z0042_b.txt")), "B OF THE EARLIER REPORT");
  }
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(out.path())) files.push_back(entry.path().filename());
  std::ranges::sort(files);
  EXPECT_EQ(files,
            (std::vector<std::string>{"Z0042_a.txt", "Z0042_b.txt", "Z0044_a.txt", "Z0045_a.txt", "Z0046_a.txt",
                                      "elsewhere"}));
  EXPECT_EQ(ReadFile(out.file("elsewhere")), "kept");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(out.path()).parent_path() / "evil_a.txt"));
}

// A stop that the operator can ask for at the question (Ctrl-C, Esc).
struct StopAtQuestion final : ActionControl {
  void ReportProgress(const ActionProgress&) override {}
  bool StopRequested() override { return stop; }
  bool stop = false;
};

// A report is whole or it is not confirmed. The earlier pair of the same name
// stays until the new report is read to its end; what was read before "x/2"
// is the report, and nothing after it; the question is asked once for a Z
// request that the device answers BUSY or PRINTEROFFLINE, and the B file is
// not written again; a stop at the question sends nothing. The B file holds
// the SHA-1 of the lines as the device sent them.
TEST_F(WireZReportTest, AReportIsWholeOrNotConfirmed) {
  const std::string earlier_a = "earlier report\r\n", earlier_b = "B OF THE EARLIER REPORT";
  struct Row {
    const char* what;
    std::deque<std::string> q;
    std::vector<std::string> requests;
    std::deque<bool> answers = {};
    std::deque<std::string> x2 = {"00/00/00"}, x5 = {"00/00/00"};
    std::string a_file;           // what the A file holds at the end
    std::string b_file = {};      // empty: the SHA-1 of a_file
    std::vector<std::string> sent = {};  // the Z requests that went out
    int questions = 0;
    int result = kResultOk;       // of the last request
    std::string line = {};        // a log line that must stand
    bool stop = false;            // the operator stops at the question
    std::string name = "Z0042", name_bytes = "Z0042";
  };
  const Row rows[] = {
      {.what = "read to the line of kind 3, then confirmed", .q = {"00/00/00/0/Total 1.00", "00/00/00/3/"},
       .requests = {"A", "Q", "Q", "x/2"}, .answers = {true}, .a_file = "Total 1.00\r\n", .sent = {"x/2"},
       .questions = 1},
      {.what = "\"x/2\" before the line of kind 3: the lines read are the report",
       .q = {"00/00/00/0/Total 1.00", "00/00/00/0/VAT 0.24"}, .requests = {"A", "Q", "Q", "x/2"}, .answers = {true},
       .a_file = "Total 1.00\r\nVAT 0.24\r\n", .sent = {"x/2"}, .questions = 1},
      {.what = "a confirmed report takes no more lines", .q = {"00/00/00/0/Total 1.00", "00/00/00/0/late"},
       .requests = {"A", "Q", "x/2", "Q"}, .answers = {true}, .a_file = "Total 1.00\r\n", .sent = {"x/2"},
       .questions = 1, .line = "Report 'Z0042' is confirmed: line not added to it"},
      {.what = "not read to its end: the earlier pair stays", .q = {"00/00/00/0/Total 1.00"},
       .requests = {"A", "Q", "A"}, .a_file = earlier_a, .b_file = earlier_b,
       .line = "Report 'Z0042' was not read to its end (1 line(s)); its A file is not written"},
      {.what = "BUSY and PRINTEROFFLINE to \"x/2\": one question", .q = {"00/00/00/3/"},
       .requests = {"A", "Q", "x/2"}, .answers = {true}, .x2 = {"0E/00/00", "1A/00/00", "00/00/00"}, .a_file = "",
       .b_file = "WRITTEN ONCE", .sent = {"x/2", "x/2", "x/2"}, .questions = 1},
      {.what = "No, and No again for \"x/5\": nothing sent", .q = {"00/00/00/3/"}, .requests = {"A", "Q", "x/2"},
       .answers = {false, false}, .a_file = "", .questions = 2, .result = kResultSignatureRejected},
      {.what = "No, then Yes to \"x/5\", which the device answers BUSY", .q = {"00/00/00/3/"},
       .requests = {"A", "Q", "x/2"}, .answers = {false, true}, .x5 = {"0E/00/00", "00/00/00"}, .a_file = "",
       .b_file = "WRITTEN ONCE", .sent = {"x/5", "x/5"}, .questions = 2},
      {.what = "a stop at the question", .q = {"00/00/00/3/"}, .requests = {"A", "Q", "x/2"}, .a_file = "",
       .questions = 1, .result = kResultSignatureStopped,
       .line = "Stopped at the Z report's question; request not sent", .stop = true},
      {.what = "a Greek name is a Greek file name", .q = {"00/00/00/0/\xD3\xFD\xED\xEF\xEB\xEF", "00/00/00/3/"},
       .requests = {"A", "Q", "Q"}, .a_file = "\xD3\xFD\xED\xEF\xEB\xEF\r\n", .b_file = "none",
       .name = "ΖΑΦ", .name_bytes = "\xC6\xC1\xD6"},
  };
  StopAtQuestion control;
  host.control = &control;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetUp();
    const std::string a_path = out.file(row.name + "_a.txt"), b_path = out.file(row.name + "_b.txt");
    device.requests.clear();
    sink.entries.clear();
    prompts.questions = 0;
    control.stop = false;
    std::deque<bool> answers = row.answers;
    prompts.decide = [&](const std::string&) {
      control.stop = row.stop;
      // Written again on a repeat, the B file would lose this.
      if (row.b_file == "WRITTEN ONCE") test::WriteFile(b_path, row.b_file);
      const bool yes = !answers.empty() && answers.front();
      if (!answers.empty()) answers.pop_front();
      return yes;
    };
    device.Script({{"A", {"00/00/00/001/" + row.name_bytes}}, {"Q", row.q}, {"x/2", row.x2}, {"x/5", row.x5}});
    int result = kResultOk;
    for (const std::string& request : row.requests) {
      result = Execute(request);
      if (request == "A" && row.name == "Z0042") {
        EXPECT_EQ(ReadFile(a_path), earlier_a) << "until the report is complete";
        EXPECT_EQ(ReadFile(b_path), earlier_b);
      }
    }
    z_report.ReportRequested();  // as at the end of a run: a report not read to its end goes
    EXPECT_EQ(result, row.result);
    z_report.ForgetAnswers();
    EXPECT_EQ(ReadFile(a_path), row.a_file);
    if (row.b_file == "none") {
      EXPECT_FALSE(std::filesystem::exists(b_path));
    } else {
      EXPECT_EQ(ReadFile(b_path), row.b_file.empty() ? Sha1OfText(row.a_file) : row.b_file);
    }
    std::vector<std::string> sent;
    std::ranges::copy_if(device.requests, std::back_inserter(sent), [](const auto& r) { return r[0] == 'x'; });
    EXPECT_EQ(sent, row.sent);
    EXPECT_EQ(prompts.questions, row.questions);
    if (row.questions > 0) {
      EXPECT_EQ(prompts.boxes.back().text, "Calculated signature: " + Sha1OfText(row.a_file) +
                                               " \r\n\r\n Is this signature identical with the one in Zreport?");
    }
    if (!row.line.empty()) {
      EXPECT_TRUE(sink.Contains(row.line)) << row.line;
    }
    EXPECT_EQ(prompts.boxes.at(prompts.boxes.size() - row.questions - 1).text, a_path);
    EXPECT_FALSE(z_report.TakeFileFailure());
    for (const auto& entry : std::filesystem::directory_iterator(out.path()))
      EXPECT_FALSE(entry.path().string().ends_with(".part")) << entry.path() << " left behind";
    if (row.name != "Z0042") std::filesystem::remove(a_path);
  }
}

}  // namespace
}  // namespace veritor
