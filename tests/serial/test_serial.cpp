#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "core/control_ids.h"
#include "crypto/sha1.h"
#include "serial/packet.h"
#include "sim/in_process.h"
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
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02u", PacketChecksum(text));
    text += std::string("/") + digits;
  }
  text.resize(body - 3, 'R');
  return text;
}

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
  EXPECT_EQ(device.HostBytes(), std::string("\x18\x18\x18\x05") + BuildPacket("v") + "\x06");
  EXPECT_EQ(device.DeviceBytes(), "\x06\x06" + BuildPacket(reply));
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
  // The first 16 stray bytes have a line each, the rest are counted.
  const auto strays = [](const std::string& bytes) {
    std::vector<std::string> lines;
    for (unsigned char byte : bytes.substr(0, 16)) {
      char line[64];
      std::snprintf(line, sizeof line, "Expected STX, received 0x%02X. Ignored", byte);
      lines.push_back(line);
    }
    if (bytes.size() >= 16) lines.push_back("Further bytes before STX are counted, not logged");
    return lines;
  };
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
      {.what = "pause of 600 ms: the rest of the packet comes as stray bytes", .reply = {ReplyFault::Pause(5, 600)},
       .result = kResultOk, .log = strays(BuildPacket(kInfoReply).substr(5)), .naks = 1},
      {.what = "over 2047 bytes", .reply = {ReplyFault::Long(3000)}, .result = kResultOk,
       .log = {too_long[0]}, .naks = 1},
      {.what = "stray bytes", .reply = {ReplyFault::Stray(std::string("\x41\x00", 2))}, .result = kResultOk,
       .log = strays(std::string("\x41\x00", 2))},
      {.what = "three bad packets", .reply = {3, ReplyFault::BadChecksum()}, .result = kResultRetriesFailed,
       .log = {"Request retries failed"}, .naks = 3},
      {.what = "no STX within 2 s", .reply = {ReplyFault::Delay(2500)}, .result = kResultReceiveStxTimeout,
       .log = {"Receive STX timeout"}},
      {.what = "the longest reply, 2044 characters", .forced = ReplyForBody(kMaxPacketBody), .result = kResultOk},
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
  const std::string busy = "Stopped while the device answered busy (0x%02X); the request was not carried out";
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
      {"busy for ever, stopped", "0E/00/00", "", false, 2000, kResultStopped, "", 2000 + 10},
      {"printer off line for ever, stopped", "1A/00/00", "", false, 2000, kResultStopped, "", 2000 + 10},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::VirtualHost virtual_host;
    StopAt stop(virtual_host.clock);
    stop.at_ms = row.stop_at_ms == 0 ? 0 : virtual_host.clock.GetTickCount() + row.stop_at_ms;
    virtual_host.host.control = &stop;
    test::WireSerialDevice device;
    device.answer = [&](const std::string&) {
      virtual_host.clock.Advance(1);  // the device answers in a millisecond
      return std::string(row.reply);
    };
    SerialPorts ports{virtual_host.host, device};
    ASSERT_EQ(ports.OpenPort(1, 115200, 'N', 8, 1), 1);
    test::TempDir out;
    ZReportFiles z_report{virtual_host.log, virtual_host.prompts, out.slash()};
    SerialLink link{virtual_host.host, ports, z_report};
    CommandExecutor executor{virtual_host.host, link};
    uint32_t turns = 0;
    virtual_host.pump.each_turn = [&] {
      if (device.requests.empty() || ++turns % 10 != 0) return;
      if (row.stx_first && turns == 10) device.Send("\x02");
      device.Send(row.stream);
    };
    const uint32_t start = virtual_host.clock.GetTickCount();
    std::string data;
    EXPECT_EQ(executor.ExecuteCommand("v", data, false), row.result);
    EXPECT_LE(virtual_host.clock.GetTickCount() - start, row.max_ms);
    const auto& log = virtual_host.sink.entries;
    ASSERT_FALSE(log.empty());
    std::string last = row.last_line;
    if (last.empty()) {
      char line[128];
      std::snprintf(line, sizeof line, busy.c_str(), ParseHexByte(row.reply[0], row.reply[1]));
      last = line;
    }
    EXPECT_EQ(log.back(), last);
    // Stray bytes: the first 16 each have their line, the rest are counted.
    const size_t stray_lines = std::ranges::count_if(log, [](const std::string& l) { return l.starts_with("Expected STX"); });
    EXPECT_LE(stray_lines, 16u);
    EXPECT_LE(log.size(), 18u);
  }
}

// Ports 1 to 4 only: the others are refused before the opener is asked (it
// would log "COMn: No such port"), and a closed port does nothing.
TEST_F(SerialLinkTest, PortsOutsideTheTableAndClosedPortsDoNothing) {
  for (int port : {0, 5, 6, 7, 8, 9, 10, 11, 12}) EXPECT_EQ(ports.OpenPort(port, 9600, 'N', 8, 1), 0) << port;
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

// The Z report: "A" names it, "Q" brings its lines into the A file, "x/2"
// puts the A file's fingerprint into the B file and to the operator. The Q
// reply for the last line is 75 characters: the console keeps the first 60.
const std::string kLongLine = "VAT 3.00" + std::string(56, '.');

class ZReportTest : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    device.model().SetReportName("Z0042");
    device.model().SetReportLines({{'1', "FISCAL REPORT"}, {'0', "Total 12.50"}, {'2', "-----"}, {'0', kLongLine}});
  }
  int Execute(const std::string& request) { return executor.ExecuteCommand(request, data, false); }
  void ReadReport(size_t q_requests) {
    ASSERT_EQ(Execute("A"), kResultOk);
    for (size_t i = 0; i < q_requests; ++i) ASSERT_EQ(Execute("Q"), kResultOk);
  }
  std::string Sha1sumOf(const std::string& path) {
    std::string digits = test::RunProgram({"/usr/bin/sha1sum", path}).out.substr(0, 40);
    for (char& c : digits) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return digits;
  }
  std::string data;
};

// BUSY and error answers to "A" and "Q" carry no report data.
TEST_F(ZReportTest, ReportIsStoredAndTheOperatorAskedAboutItsSignature) {
  device.model().AnswerBusy(1);
  ASSERT_EQ(Execute("A"), kResultOk) << "asked again after BUSY";
  EXPECT_EQ(prompts.boxes[0].text, out.file("Z0042_a.txt"));
  EXPECT_EQ(prompts.boxes[0].caption, "");
  device.model().AnswerBusy(2);
  ASSERT_EQ(Execute("Q"), kResultOk);
  device.model().ForceError(0x1E);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Execute("Q"), kResultOk);
  EXPECT_FALSE(z_report.AFileIsOpen()) << "the kind 3 line closes the file";
  EXPECT_EQ(ReadFile(out.file("Z0042_a.txt")), "Total 12.50\r\n" + kLongLine.substr(0, 49) + "\r\n");
  EXPECT_FALSE(std::filesystem::exists(out.file("_a.txt")));

  // No, and No again for "x/5": nothing sent. No, then Yes: the day closes
  // with "x/5". Yes: with "x/2".
  const struct {
    std::deque<bool> answers;
    int result;
    std::vector<std::string> sent;
  } steps[] = {{{false, false}, kResultSignatureRejected, {}}, {{false, true}, kResultOk, {"x/5"}},
               {{true}, kResultOk, {"x/2"}}};
  const auto& requests = device.model().RequestLog();
  for (const auto& step : steps) {
    const size_t sent_before = requests.size();
    const int asked_before = prompts.questions;
    prompts.answers = step.answers;
    EXPECT_EQ(Execute("x/2"), step.result);
    EXPECT_EQ(prompts.questions - asked_before, static_cast<int>(step.answers.size()));
    EXPECT_EQ(std::vector<std::string>(requests.begin() + sent_before, requests.end()), step.sent);
    const std::string b_file = ReadFile(out.file("Z0042_b.txt"));
    EXPECT_EQ(b_file, Sha1sumOf(out.file("Z0042_a.txt")));
    EXPECT_EQ(prompts.boxes.back().text,
              "Calculated signature: " + b_file + " \r\n\r\n Is this signature identical with the one in Zreport?");
  }
  EXPECT_EQ(device.model().ZCount(), 2u);
}

TEST_F(ZReportTest, SignatureCoversLinesNotYetClosedAndANewReportClosesTheOld) {
  ReadReport(3);  // the report is still open: its last lines have not come
  ASSERT_TRUE(z_report.AFileIsOpen());
  prompts.answers = {true};
  ASSERT_EQ(Execute("x/2"), kResultOk);
  EXPECT_EQ(ReadFile(out.file("Z0042_b.txt")), Sha1sumOf(out.file("Z0042_a.txt")));

  device.model().SetReportName("Z0043");
  ASSERT_EQ(Execute("A"), kResultOk);
  ASSERT_EQ(Execute("Q"), kResultOk);
  EXPECT_EQ(ReadFile(out.file("Z0042_a.txt")), "Total 12.50\r\n");
}

// When the signature step cannot do its part (no report named yet, the A
// file gone, the B file not writable), the request is not sent: not a byte
// goes out, nothing is written to the B file and no question is asked.
TEST_F(ZReportTest, SignatureRequestIsNotSentWhenAFileFails) {
  const std::string a_file = out.file("Z0042_a.txt"), b_file = out.file("Z0042_b.txt");
  const auto expect_not_sent = [&](const char* request, int result, const std::string& line, const std::string& box) {
    const std::string wire = device.HostBytes();
    sink.entries.clear();
    EXPECT_EQ(Execute(request), result);
    EXPECT_EQ(device.HostBytes(), wire);
    EXPECT_EQ(sink.entries, std::vector<std::string>{line});
    EXPECT_EQ(prompts.boxes.back().caption, "Error");
    EXPECT_EQ(prompts.boxes.back().text, box);
  };
  expect_not_sent("x/5", kResultNoReport,
                  "Cannot create the B file: no report has been named by an \"A\" request; request not sent",
                  "Error creating '_b.txt' file");
  ReadReport(5);
  std::filesystem::rename(a_file, a_file + ".gone");
  expect_not_sent("x/2", kResultFingerprintFailed,
                  "Cannot read the A file '" + a_file + "' (cannot open); no signature written, request not sent",
                  "Error reading '_a.txt' file");
  EXPECT_FALSE(std::filesystem::exists(b_file));
  std::filesystem::rename(a_file + ".gone", a_file);
  std::filesystem::create_directory(b_file);
  expect_not_sent("x/2", kResultBFileFailed, "Cannot write the B file '" + b_file + "': Is a directory; request not sent",
                  "Error creating '_b.txt' file");
  EXPECT_EQ(prompts.questions, 0);
}

// A device of a few lines that sends its report with warning codes. BUSY is
// asked again and stays out of the report; 0x80, 0x24 and the rest count; a
// device error with no data adds nothing; a line with a NUL is written up to
// it, as the log shows it.
class WireZReportTest : public ::testing::Test, protected test::VirtualHost {
 protected:
  test::WireSerialDevice device;
  SerialPorts ports{host, device};
  test::TempDir out;
  ZReportFiles z_report{log, prompts, out.slash()};
  SerialLink link{host, ports, z_report};
  CommandExecutor executor{host, link};
  std::string data;
  bool details = false;

  void SetUp() override {
    ASSERT_EQ(ports.OpenPort(1, 115200, 'N', 8, 1), 1);
    test::WriteFile(out.file("Z0042_a.txt"), "earlier report\r\n");
    test::WriteFile(out.file("Z0042_b.txt"), "B OF THE EARLIER REPORT");
  }
  int Execute(const std::string& request) { return executor.ExecuteCommand(request, data, details); }
};

TEST_F(WireZReportTest, RepliesWithWarningCodesAreTheReportAndItIsTheOneSigned) {
  details = true;
  device.Script({{"A", {"0E/00/00", "80/00/00/001/Z0043"}},
                 {"Q", {"1A/00/00/0/offline", "80/00/00/0/Total 1.00", "24/00/00/1/header", "06/00/00",
                        std::string("80/00/00/0/A\0B", 14), "00/00/00/0/VAT 0.24", "80/00/00/3/"}},
                 {"x/2", {"00/00/00"}}});
  ASSERT_EQ(Execute("A"), kResultOk);
  for (int i = 0; i < 7; ++i) ASSERT_EQ(Execute("Q"), kResultOk);
  EXPECT_FALSE(z_report.AFileIsOpen());
  EXPECT_EQ(ReadFile(out.file("Z0043_a.txt")), "Total 1.00\r\nA\r\nVAT 0.24\r\n");
  EXPECT_TRUE(sink.Contains("Replied frame [0/A]"));
  EXPECT_TRUE(sink.Contains("Report line holds a NUL byte: written up to it (1 of 3 bytes)"));
  EXPECT_FALSE(z_report.TakeFileFailure());

  prompts.answers = {true};
  ASSERT_EQ(Execute("x/2"), kResultOk);
  const std::string b_file = ReadFile(out.file("Z0043_b.txt"));
  char digits[41];
  ASSERT_EQ(FileFingerprint(out.file("Z0043_a.txt").c_str(), digits), kFingerprintOk);
  EXPECT_EQ(b_file, digits);
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
      {"", "Receive STX timeout", "no reply to the last \"A\" has named a report"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    device.Script({{"A", {"00/00/00/001/Z0042", c.reply}}, {"Q", {"00/00/00/0/line", "00/00/00/3/"}}});
    ASSERT_EQ(Execute("A"), kResultOk);
    ASSERT_EQ(Execute("Q"), kResultOk);
    EXPECT_EQ(Execute("A"), c.reply.empty() ? kResultReceiveStxTimeout : kResultOk);
    EXPECT_TRUE(sink.Contains(c.line));
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
  EXPECT_EQ(files, (std::vector<std::string>{"Z0042_a.txt", "Z0042_b.txt", "Z0044_a.txt"}));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(out.path()).parent_path() / "evil_a.txt"));
}

}  // namespace
}  // namespace veritor
