#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "serial/packet.h"
#include "sim/device_model.h"
#include "sim/serial_device.h"
#include "sim/sim_options.h"

namespace veritor::sim {
namespace {

const std::string kEnquiry = "\x18\x18\x18\x05";
const std::string kAckByte = "\x06";
const std::string kNakByte = "\x15";
const std::string kInfoReply = "00/00/00/VERITOR-SIM/2.24/SN 000001";

// A packet written out by hand: STX, body with its checksum, ETX.
std::string Framed(const std::string& body) { return "\x02" + body + "\x03"; }

const std::string kRequestV = Framed("v/65");
const std::string kInfoPacket = Framed(kInfoReply + "/35");

struct Exchange {
  const char* request;
  const char* reply;
};

TEST(DeviceModel, DayAndSignatureBlockAnswers) {
  const Exchange rows[] = {
      {"}", "11/00/00"},
      {"@/abc", "11/00/00"},
      {"{", "01/00/00"},
      {"{/0", "00/00/06"},
      {"{/0", "10/00/06"},
      {"x/2", "10/00/06"},
      {"&/!!!!", "12/00/06"},
      {"&/YWJj=", "12/00/06"},
      {"}", "1E/00/02"},  // empty block refused and discarded
      {"{/0", "00/00/06"},
      {"@/ab", "00/00/06"},
      {"&/Yw==", "00/00/06"},
      {"}", "00/00/02/A9993E364706816ABA3E25717850C26C9CD0D89D/0001"},
      {"?", "00/00/02"},
      {"x/2", "00/00/00/0001"},
      {"?", "00/00/00"},
      {"v", "00/00/00/VERITOR-SIM/2.24/SN 000001"},
      {"x/1", "06/00/00"},
      {"hello", "06/00/00"},
      {"", "06/00/00"},
  };
  DeviceModel model;
  for (const Exchange& row : rows) {
    EXPECT_EQ(model.Handle(row.request), row.reply) << "request " << row.request;
  }
  EXPECT_EQ(model.ZCount(), 1u);
  EXPECT_EQ(model.RequestLog().size(), std::size(rows));
}

std::string Sha1Hex(const std::string& bytes) {
  Sha1Context context;
  Sha1Init(context);
  Sha1Update(context, reinterpret_cast<const uint8_t*>(bytes.data()),
             static_cast<uint32_t>(bytes.size()));
  uint8_t digest[20];
  Sha1Final(digest, context);
  std::string hex;
  for (uint8_t byte : digest) {
    hex += "0123456789ABCDEF"[byte >> 4];
    hex += "0123456789ABCDEF"[byte & 15];
  }
  return hex;
}

// Reads a whole report as the console does: kind 0 lines go to the A file.
struct ReadReport {
  std::string a_file;
  std::string kinds;
  std::string printed_sha1;
  size_t longest_reply = 0;
};

ReadReport ReadWholeReport(DeviceModel& model) {
  ReadReport report;
  for (int guard = 0; guard < 100000; ++guard) {
    const std::string reply = model.Handle("Q");
    report.longest_reply = std::max(report.longest_reply, reply.size());
    if (reply.size() < 11) break;
    report.kinds += reply[9];
    if (reply[9] == '3') break;
    const std::string text = reply.substr(11);
    if (reply[9] == '0') report.a_file += text + "\r\n";
    if (text.rfind("SHA1 ", 0) == 0) report.printed_sha1 = text.substr(5);
  }
  return report;
}

TEST(DeviceModel, ZReportReadsToKind3AndPrintsTheFingerprintOfItsAFile) {
  DeviceModel model;
  model.Handle("{/0");
  model.Handle("@/12.50");
  model.Handle("}");
  EXPECT_EQ(model.Handle("A"), "00/00/02/001/Z0001");
  const ReadReport daily = ReadWholeReport(model);
  EXPECT_EQ(daily.kinds.back(), '3');
  EXPECT_NE(daily.kinds.find('1'), std::string::npos);
  EXPECT_NE(daily.kinds.find('2'), std::string::npos);
  EXPECT_NE(daily.a_file.find("SIGNATURES      1\r\n"), std::string::npos);
  EXPECT_EQ(daily.printed_sha1, Sha1Hex(daily.a_file));
  EXPECT_LE(daily.longest_reply, 60u);  // the console keeps 60 characters of a line

  EXPECT_EQ(model.Handle("x/5"), "00/00/00/0001");
  EXPECT_EQ(model.Handle("A/1"), "00/00/00/001/Z0002");
  model.GenerateReportLines(5000);
  model.Handle("A");
  const ReadReport generated = ReadWholeReport(model);
  EXPECT_EQ(generated.kinds.size(), 5000u + 5u);
  EXPECT_EQ(generated.printed_sha1, Sha1Hex(generated.a_file));
  EXPECT_LE(generated.longest_reply, 60u);

  model.SetReportName("Z0042");
  model.SetZeroZAlert(true);
  EXPECT_EQ(model.Handle("A"), "00/00/00/001/Z0042");
  EXPECT_EQ(model.Handle("x/2"), "80/00/00");  // zero Z: nothing issued
  EXPECT_EQ(model.Handle("x/5"), "00/00/00/0002");
}

TEST(DeviceModel, BitmapRowsStoredInOrderAndBadFieldsRefused) {
  const Exchange rows[] = {
      {"$/1/16/2/1/FF00/", "00/00/00"},
      {"$/1/16/2/2/00ff/", "00/00/00"},
      {"$/8/16/2/1/FF00/", "05/00/00"},   // slot above 7
      {"$/1/257/1/1/FF/", "05/00/00"},    // width above 256
      {"$/1/16/0/1/FF00/", "05/00/00"},   // height 0
      {"$/1/16/2/3/FF00/", "05/00/00"},   // row below the image
      {"$/1/16/2/1/FF/", "05/00/00"},     // too few bytes
      {"$/1/16/2/1/FF0/", "05/00/00"},    // half a byte
      {"$/1/16/2/1/FFGG/", "05/00/00"},   // not hex
      {"$/1/16/2/1/FF00", "05/00/00"},    // no closing "/"
      {"$/1/16/2/FF00/", "05/00/00"},     // a field missing
  };
  DeviceModel model;
  for (const Exchange& row : rows) {
    EXPECT_EQ(model.Handle(row.request), row.reply) << "request " << row.request;
  }
  ASSERT_EQ(model.BitmapRows().size(), 2u);
  EXPECT_EQ(model.BitmapRows()[0].row, 1u);
  EXPECT_EQ(model.BitmapRows()[0].bytes, std::string("\xFF\x00", 2));
  EXPECT_EQ(model.BitmapRows()[1].row, 2u);
  EXPECT_EQ(model.BitmapRows()[1].bytes, std::string("\x00\xFF", 2));
}

TEST(DeviceModel, CannedAnswersComeFirstAndTheRequestIsNotCarriedOut) {
  DeviceModel model;
  std::string huge(10000, 'x');
  huge[5] = '\0';
  model.AnswerBusy(2);
  model.AnswerPrinterOffline(1);
  model.ForceReply(huge);
  model.ForceError(0x1C);
  EXPECT_EQ(model.Handle("{/0"), "0E/01/00");
  EXPECT_EQ(model.Handle("{/0"), "0E/01/00");
  EXPECT_EQ(model.Handle("{/0"), "1A/00/00");
  EXPECT_EQ(model.Handle("{/0"), huge);
  EXPECT_EQ(model.Handle("{/0"), "1C/00/00");
  EXPECT_FALSE(model.BlockOpen());
  EXPECT_EQ(model.Handle("{/0"), "00/00/06");
  EXPECT_EQ(model.RequestLog().size(), 6u);
}

// The device on a virtual clock: host bytes go in at `now`, and what the
// device sent by `now + wait_ms` comes back.
struct DeviceBench {
  DeviceModel model;
  SerialDevice device{model};
  uint32_t now = 0xFFFFFF00u;  // the clock wraps during the tests

  std::string Exchange(const std::string& host_bytes, uint32_t wait_ms = 20) {
    for (char c : host_bytes) device.OnHostByte(static_cast<uint8_t>(c), now);
    now += wait_ms;
    std::string out;
    device.TakeDue(now, out);
    return out;
  }
};

TEST(SerialDevice, AnswersTheWireByteForByte) {
  struct Step {
    std::string host;
    std::string device;
  };
  const Step steps[] = {
      {kEnquiry, kAckByte},
      {kRequestV, kAckByte + kInfoPacket},
      {kNakByte, kInfoPacket},  // NAK brings the same reply again
      {kAckByte, ""},
      {Framed("?/10"), kAckByte + Framed("00/00/00/73")},
      {kEnquiry, kAckByte},  // the ACK of the last reply never came
      {Framed("v/64"), kNakByte},
      {"\x02v/6", ""},           // a packet that never ends...
      {kEnquiry, kAckByte},      // ...does not hold up the next enquiry
      {"\x02" + std::string(5000, 'x') + "/00\x03", kNakByte},
      {"\x06\x15zz", ""},        // stray answers while idle
      {kRequestV, kAckByte + kInfoPacket},
  };
  DeviceBench bench;
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(bench.Exchange(steps[i].host), steps[i].device) << "step " << i;
  }
  EXPECT_EQ(bench.model.RequestLog(), (std::vector<std::string>{"v", "?", "v"}));
}

TEST(SerialDevice, ReplyIsAbandonedWhenANewEnquiryCutsIntoIt) {
  DeviceBench bench;
  bench.device.faults.reply.push_back(ReplyFault::Delay(1000));
  EXPECT_EQ(bench.Exchange(kEnquiry + kRequestV), kAckByte + kAckByte);
  EXPECT_EQ(bench.Exchange(kEnquiry, 2000), kAckByte);  // the delayed reply is dropped
  EXPECT_FALSE(bench.device.NextDue().has_value());
}

TEST(FaultSpec, MalformedSpecsAreRefused) {
  const char* bad[] = {"enq-bogus", "enq-nak:", "enq-nak:x", "reply-pause:10@",
                       "reply-stray:7", "reply-stray:ZZ", "reply-long", "random:0",
                       "random:1.5", "reply-delay:-1", "busy:999999999999"};
  for (const char* spec : bad) {
    DeviceModel model;
    SerialDevice device(model);
    EXPECT_FALSE(ApplyFaultSpec(spec, 1, device, model)) << spec;
    EXPECT_EQ(model.PendingFaults(), 0u) << spec;
  }
}

}  // namespace
}  // namespace veritor::sim
