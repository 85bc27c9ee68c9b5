#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "core/control_ids.h"
#include "serial/packet.h"
#include "sim/in_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using sim::AnswerFault;
using sim::ReplyFault;
using test::ReadFile;

const std::string kEnquiry = "\x18\x18\x18\x05";
const std::string kPacketV = "\x02v/65\x03";

TEST(Packet, ChecksumIsTheByteSumWithTheSlashModuloHundred) {
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
  EXPECT_EQ(BuildPacket("v"), kPacketV);
  EXPECT_EQ(BuildPacket("zz"), "\x02zz/35\x03");
}

TEST(Packet, ReplyBodyCountsOnlyWhenItEndsInASlashAndTwoDecimalDigitsThatMatch) {
  const struct {
    std::string body;
    bool good;
  } cases[] = {
      {"00/00/00/73", true},
      {"00/00/00/74", false},
      {"00/00/00/6=", false},                 // '=' - '0' is 13: 6 * 10 + 13 is the sum, but no digit
      {"00/00/00\xCB" "73", false},           // a damaged "/" whose byte leaves the sum modulo 100 as it was
      {std::string("]0--*\0\0\0\0\xFF\xFF\xFC\xFF\xFF\n\n\x1A" "9\n%.\xFF\xFF\x07\xCD", 25), false},
  };
  for (const auto& c : cases) {
    std::string text = "unchanged";
    EXPECT_EQ(ExtractPacketText(c.body, text), c.good) << c.body;
    EXPECT_EQ(text, c.good ? c.body.substr(0, c.body.size() - 3) : "unchanged") << c.body;
  }
}

class SerialLinkTest : public ::testing::Test {
 protected:
  VirtualTickClock clock{0xFFFFF000u};  // the tick counter wraps during the tests
  sim::InProcessSerial device{clock};
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, device.pump(), log, display, prompts, state};
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
  uint32_t Elapsed(uint32_t since) const { return const_cast<VirtualTickClock&>(clock).GetTickCount() - since; }
  size_t HostCount(uint8_t byte) const {
    size_t n = 0;
    for (char c : device.HostBytes()) n += static_cast<uint8_t>(c) == byte;
    return n;
  }
};

TEST_F(SerialLinkTest, CleanExchangeOnTheWire) {
  EXPECT_EQ(Transact("v"), kResultOk);
  EXPECT_EQ(reply, "00/00/00/" + std::string(sim::DeviceModel::kDeviceInfo));
  EXPECT_EQ(device.HostBytes(), kEnquiry + kPacketV + "\x06");
  EXPECT_EQ(device.DeviceBytes(), "\x06\x06" + BuildPacket(reply));
  EXPECT_EQ(display.fields[kIdRequestField], "v");
  EXPECT_TRUE(sink.entries.empty());
}

TEST_F(SerialLinkTest, EnquiryAnsweredWithNakThenAck) {
  device.device().faults.enq = {AnswerFault::kNak};
  EXPECT_EQ(Transact("v"), kResultOk);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Enquire #0 not acked (0x15)"});
}

TEST_F(SerialLinkTest, SilentDeviceFailsTheEnquiryAfterThreeSeconds) {
  device.device().faults.enq = {AnswerFault::kSilence, AnswerFault::kSilence, AnswerFault::kSilence};
  const uint32_t start = clock.GetTickCount();
  EXPECT_EQ(Transact("v"), kResultEnquireFailed);
  EXPECT_EQ(sink.entries, (std::vector<std::string>{"Enquire #0 timedout", "Enquire #1 timedout",
                                                   "Enquire #2 timedout", "Enquire state failed"}));
  EXPECT_GE(Elapsed(start), 3003u);
  EXPECT_LE(Elapsed(start), 3010u);
}

TEST_F(SerialLinkTest, EnquiryCanceledByTheDevice) {
  device.device().faults.enq = {AnswerFault::kCan};
  EXPECT_EQ(Transact("v"), kResultCanceledByPeer);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Canceled by peer"});
  EXPECT_EQ(HostCount(kStx), 0u);
}

TEST_F(SerialLinkTest, PacketNakedFiveTimesIsNotAcknowledged) {
  device.device().faults.packet.assign(5, AnswerFault::kNak);
  EXPECT_EQ(Transact("v"), kResultPacketNotAcked);
  std::vector<std::string> expected(4, "Packet not acknowledged, retrying");
  expected.push_back("Packet not acknowledged");
  EXPECT_EQ(sink.entries, expected);
  EXPECT_EQ(HostCount(kStx), 5u);
}

TEST_F(SerialLinkTest, PacketCanceledEndsAtOnce) {
  device.device().faults.packet = {AnswerFault::kCan};
  EXPECT_EQ(Transact("v"), kResultPacketNotAcked);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Packet not acknowledged"});
  EXPECT_EQ(HostCount(kStx), 1u);
}

TEST_F(SerialLinkTest, UnansweredPacketTimesOutEveryAttempt) {
  device.device().faults.packet.assign(5, AnswerFault::kSilence);
  const uint32_t start = clock.GetTickCount();
  EXPECT_EQ(Transact("v"), kResultPacketNotAcked);
  EXPECT_EQ(sink.Count("Packet acknowledge timed out"), 5u);
  EXPECT_GE(Elapsed(start), 5u * 2000u);
}

TEST_F(SerialLinkTest, BadRepliesAreNakedUntilAGoodOneComes) {
  const struct {
    const char* what;
    ReplyFault fault;
    size_t naks;
    std::vector<std::string> log;  // checked when not empty
  } cases[] = {
      {"bad checksum", ReplyFault::BadChecksum(), 1, {}},
      {"ten bytes", ReplyFault::Short(), 1, {}},
      {"pause of 600 ms", ReplyFault::Pause(5, 600), 1, {}},
      {"over 2047 bytes", ReplyFault::Long(3000), 1, {}},
      {"stray bytes",
       ReplyFault::Stray(std::string("\x41\x00", 2)),
       0,
       {"Expected STX, received 0x41. Ignored", "Expected STX, received 0x00. Ignored"}},
  };
  for (const auto& c : cases) {
    sink.entries.clear();
    const size_t naks_before = HostCount(kNak);
    device.device().faults.reply = {c.fault};
    EXPECT_EQ(Transact("v"), kResultOk) << c.what;
    EXPECT_EQ(reply, "00/00/00/" + std::string(sim::DeviceModel::kDeviceInfo)) << c.what;
    EXPECT_EQ(HostCount(kNak) - naks_before, c.naks) << c.what;
    if (!c.log.empty()) {
      EXPECT_EQ(sink.entries, c.log) << c.what;
    }
  }
}

TEST_F(SerialLinkTest, ThreeBadRepliesInARowFail) {
  device.device().faults.reply.assign(3, ReplyFault::BadChecksum());
  EXPECT_EQ(Transact("v"), kResultRetriesFailed);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Request retries failed"});
  EXPECT_EQ(HostCount(kNak), 3u);
}

TEST_F(SerialLinkTest, NoReplyWithinTwoSeconds) {
  device.device().faults.reply = {ReplyFault::Delay(2500)};
  EXPECT_EQ(Transact("v"), kResultReceiveStxTimeout);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Receive STX timeout"});
  // The late reply must not confuse the next exchange.
  sink.entries.clear();
  EXPECT_EQ(Transact("?"), kResultOk);
  EXPECT_EQ(reply.substr(0, 8), "00/00/00");
}

TEST_F(SerialLinkTest, LongestReplyIsDeliveredWhole) {
  const std::string longest = "00/00/00/" + std::string(kMaxReplyText - 9, 'd');
  device.model().ForceReply(longest);
  std::string data;
  EXPECT_EQ(executor.ExecuteCommand("v", data, true), kResultOk);
  EXPECT_EQ(executor.ReplyBuffer(), longest);
  EXPECT_EQ(data.size(), kMaxReplyText - 9);
  EXPECT_TRUE(sink.Contains("Replied frame [" + data + "]"));
}

TEST_F(SerialLinkTest, ClosedPortFailsQuietlyAndCleanly) {
  ports.ClosePort(1);
  ports.ClosePort(1);
  EXPECT_EQ(Transact("v"), kResultEnquireFailed);
  EXPECT_EQ(ports.InputCount(1), 0u);
  EXPECT_EQ(ports.ReadPortByte(1), 0);
  EXPECT_EQ(ports.OpenPort(0, 9600, 'N', 8, 1), 0);
  EXPECT_EQ(ports.OpenPort(5, 9600, 'N', 8, 1), 0);
  device.FailOpens("Permission denied");
  EXPECT_EQ(ports.OpenPort(2, 9600, 'N', 8, 1), 0);
  EXPECT_TRUE(sink.Contains("COM2: Permission denied"));
}

// The Z report: "A" names it, "Q" brings its lines into the A file, "x/2"
// puts the A file's fingerprint into the B file and to the operator.
class ZReportTest : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    device.model().SetReportName("Z0042");
    device.model().SetReportLines({{'1', "FISCAL REPORT"}, {'0', "Total 12.50"}, {'2', "-----"}, {'0', "VAT 3.00"}});
  }
  int Execute(const std::string& request) { return executor.ExecuteCommand(request, data, false); }
  void ReadReport(size_t q_requests) {
    ASSERT_EQ(Execute("A"), kResultOk);
    for (size_t i = 0; i < q_requests; ++i) ASSERT_EQ(Execute("Q"), kResultOk);
  }
  std::string Sha1sumOf(const std::string& path) {
    std::string command = "sha1sum '" + path + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    char digits[41] = {};
    if (pipe == nullptr || std::fread(digits, 1, 40, pipe) != 40) digits[0] = '\0';
    if (pipe) pclose(pipe);
    std::string upper(digits);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }
  bool DeviceGot(const std::string& request) {
    for (const std::string& r : device.model().RequestLog())
      if (r == request) return true;
    return false;
  }
  std::string data;
};

TEST_F(ZReportTest, ReportIsStoredAndItsSignatureConfirmed) {
  ReadReport(5);
  EXPECT_EQ(prompts.boxes[0].text, out.file("Z0042_a.txt"));
  EXPECT_EQ(prompts.boxes[0].caption, "");
  EXPECT_FALSE(z_report.AFileIsOpen()) << "the kind 3 line closes the file";
  EXPECT_EQ(ReadFile(out.file("Z0042_a.txt")), "Total 12.50\r\nVAT 3.00\r\n");

  prompts.answers = {true};
  ASSERT_EQ(Execute("x/2"), kResultOk);
  const std::string b_file = ReadFile(out.file("Z0042_b.txt"));
  EXPECT_EQ(b_file, Sha1sumOf(out.file("Z0042_a.txt")));
  EXPECT_EQ(prompts.boxes.back().text,
            "Calculated signature: " + b_file + " \r\n\r\n Is this signature identical with the one in Zreport?");
  EXPECT_TRUE(DeviceGot("x/2"));
  EXPECT_EQ(device.model().ZCount(), 1u);
}

TEST_F(ZReportTest, RejectedSignatureClosesTheDayWithXFiveOnlyAfterYes) {
  ReadReport(5);
  prompts.answers = {false, true};
  EXPECT_EQ(Execute("x/2"), kResultOk);
  EXPECT_EQ(prompts.questions, 2);
  EXPECT_FALSE(DeviceGot("x/2"));
  EXPECT_TRUE(DeviceGot("x/5"));

  prompts.answers = {false, false};
  EXPECT_EQ(Execute("x/2"), kResultSignatureRejected);
  EXPECT_EQ(prompts.questions, 4);
  EXPECT_EQ(device.model().ZCount(), 1u);
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

TEST_F(ZReportTest, BusyAndErrorAnswersToAAndQAreNoPartOfTheReport) {
  device.model().AnswerBusy(1);
  ASSERT_EQ(Execute("A"), kResultOk) << "asked again after BUSY";
  device.model().AnswerBusy(2);
  ASSERT_EQ(Execute("Q"), kResultOk);
  device.model().ForceError(0x1E);
  ASSERT_EQ(Execute("Q"), kResultOk);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Execute("Q"), kResultOk);
  EXPECT_EQ(ReadFile(out.file("Z0042_a.txt")), "Total 12.50\r\nVAT 3.00\r\n");
  EXPECT_FALSE(std::filesystem::exists(out.file("_a.txt")));
}

TEST_F(ZReportTest, LongQReplyIsCutToSixtyCharacters) {
  ASSERT_EQ(Execute("A"), kResultOk);
  const std::string line(64, 'L');
  device.model().ForceReply("00/00/00/0/" + line);
  ASSERT_EQ(Execute("Q"), kResultOk);
  EXPECT_EQ(executor.ReplyBuffer().size(), 60u);
  EXPECT_EQ(data, "0/" + line.substr(0, 49));
  z_report.CloseAFile();
  EXPECT_EQ(ReadFile(out.file("Z0042_a.txt")), line.substr(0, 49) + "\r\n");
}

TEST_F(ZReportTest, NoSignatureWithoutAReportAndNothingSent) {
  EXPECT_EQ(Execute("x/5"), kResultBFileFailed);
  EXPECT_EQ(prompts.boxes.back().text, "Error creating '_b.txt' file");
  EXPECT_EQ(prompts.boxes.back().caption, "Error");
  EXPECT_TRUE(device.HostBytes().empty());
  EXPECT_TRUE(sink.Contains(
      "Cannot create the B file: no report has been named by an \"A\" request; request not sent"));
}

TEST_F(ZReportTest, UnreadableAFileGivesNoSignature) {
  ReadReport(5);
  std::filesystem::remove(out.file("Z0042_a.txt"));
  EXPECT_EQ(Execute("x/2"), kResultFingerprintFailed);
  EXPECT_EQ(prompts.questions, 0);
  EXPECT_FALSE(std::filesystem::exists(out.file("Z0042_b.txt")));
  EXPECT_FALSE(DeviceGot("x/2"));
}

TEST_F(ZReportTest, ReportNamesThatLeaveTheFolderAreRefused) {
  for (const std::string name : {"../evil", "a/b", "..\\evil", "..", "Z\x01"}) {
    device.model().SetReportName(name);
    prompts.boxes.clear();
    ASSERT_EQ(Execute("A"), kResultOk) << name;
    EXPECT_EQ(prompts.boxes.back().text, "Error creating '_a.txt' file") << name;
    EXPECT_FALSE(z_report.AFileIsOpen()) << name;
    EXPECT_TRUE(z_report.AFilePath().empty()) << name;
  }
  EXPECT_TRUE(std::filesystem::is_empty(out.path()));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(out.path()).parent_path() / "evil_a.txt"));
}

TEST_F(ZReportTest, PlainRequestsThatLookAlikeGetNoFileHandling) {
  ReadReport(0);
  for (const std::string request : {"x", "x/1", "xx3"}) EXPECT_EQ(Execute(request), kResultOk) << request;
  EXPECT_EQ(prompts.questions, 0);
}

}  // namespace
}  // namespace veritor
