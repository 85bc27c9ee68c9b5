#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/sdnp_frame.h"
#include "serial/packet.h"
#include "sim/sim_options.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace veritor::sim {
namespace {

const std::string kInfoReply = "00/00/00/VERITOR-SIM/2.24/SN 000001";

TEST(DeviceModel, DayStateSignatureBlocksAndZReport) {
  const struct {
    const char* request;
    const char* reply;
  } rows[] = {
      {"{/0", "0E/01/00"},  // canned BUSY: the request is not carried out
      {"{/0", "1A/00/00"},  // canned PRINTEROFFLINE, likewise
      {"}", "11/00/00"},    // so no block is open: NOTOPEN
      {"{/0", "00/00/06"},
      {"{/0", "10/00/06"},
      {"x/2", "10/00/06"},  // no Z report while a block is open
      {"&/!!!!", "12/00/06"},
      {"}", "1E/00/02"},  // empty block refused and discarded
      {"{/0", "00/00/06"},
      {"@/ab", "00/00/06"},
      {"&/Yw==", "00/00/06"},
      {"}", "00/00/02/A9993E364706816ABA3E25717850C26C9CD0D89D/0001"},
      {"?", "00/00/02"},
      {"A", "00/00/02/001/Z0001"},
  };
  DeviceModel model;
  model.AnswerBusy(1);
  model.AnswerPrinterOffline(1);
  for (const auto& row : rows) EXPECT_EQ(model.Handle(row.request), row.reply) << "request " << row.request;
  std::string kinds;  // the kind of each "Q" line: "0/text", "1/text", ...
  while (kinds.size() < 100 && (kinds.empty() || kinds.back() != '3')) {
    const std::string reply = model.Handle("Q");
    ASSERT_GE(reply.size(), 11u) << reply;
    kinds += reply[9];
  }
  EXPECT_EQ(kinds.find('3'), kinds.size() - 1) << kinds;
  for (char kind : {'0', '1', '2'}) EXPECT_NE(kinds.find(kind), std::string::npos) << kinds;
  EXPECT_EQ(model.Handle("x/2"), "00/00/00/0001");
  EXPECT_EQ(model.Handle("?"), "00/00/00") << "x/2 closes the day";
  EXPECT_EQ(model.Handle("x/5"), "00/00/00/0002");
}

TEST(SimOptions, AddressesAndFaultSpecsAreCheckedBeforeServing) {
  const struct {
    std::vector<std::string> args;
    bool valid;
  } rows[] = {
      {{"--fault", "enq-nak:2", "--fault", "reply-pause:600@5", "--fault", "reply-stray:7F41", "--seed", "9"}, true},
      {{"--no-serial", "--sdnp", "127.0.0.2", "--tcp", "127.0.0.2", "--udp", "127.0.0.2", "--tcp-bare-replies"}, true},
      {{"--sdnp", "127.1", "--fault", "sdnp-nak-forever", "--fault", "tcp-close", "--fault", "random:0.1"}, true},
      {{"--sdnp", "198.51.100.10"}, false},
      {{"--udp", "127.0.0.1"}, false},
      {{"--no-serial"}, false},
      {{"--no-serial", "--sdnp", "127.0.0.2", "--link", "/tmp/com1"}, false},
      {{"--seed=9", "--fault=enq-nak:2", "--tcp=127.0.0.2", "--link", "/tmp/com1"}, true},
      {{"--no-serial", "--help"}, true},
      {{"--no-such-option"}, false},
      {{"--seed"}, false},
      {{"--seed", "9", "stray"}, false},
  };
  for (const auto& row : rows) {
    SimOptions options;
    EXPECT_EQ(!ParseSimOptions(row.args, options).has_value(), row.valid) << row.args[0];
  }
  for (const char* spec :
       {"enq-bogus", "enq-nak:", "enq-nak:x", "reply-pause:10@", "reply-stray:7", "reply-stray:ZZ", "reply-long",
        "random:0", "random:1.5", "reply-delay:-1", "busy:999999999999", "sdnp-late", "sdnp-nak-forever:2",
        "udp-oversized:65508", "tcp-split:x", "udp-random:0", "sdnp-bogus:1"}) {
    SimOptions options;
    EXPECT_TRUE(ParseSimOptions({"--fault", spec}, options).has_value()) << spec;
  }
}

TEST(SimOptions, RandomFaultsRepeatForASeed) {
  const auto wire = [](uint32_t seed) {
    DeviceModel model;
    SerialDevice device(model);
    EXPECT_TRUE(ApplyFaultSpec("random:0.5", seed, device, model));
    const std::string host = "\x05\x02v/65\x03";
    std::string out;
    for (uint32_t now = 0; now < 50 * 3000; now += 3000) {
      for (char c : host) device.OnHostByte(static_cast<uint8_t>(c), now);
      device.TakeDue(now + 3000, out);
      out += '|';
    }
    return out;
  };
  EXPECT_EQ(wire(7), wire(7));
  EXPECT_NE(wire(7), wire(8));
}

constexpr Ipv4Address kConsole = 0x7F000001;
constexpr Ipv4Address kDevice = 0x7F000002;

const std::string kInfoPacket = "\x02" + kInfoReply + "/35\x03";

std::string ConsoleFrame(uint8_t opcode, uint16_t fsn, const std::string& payload = "") {
  return BuildSdnpFrame(kSdnpConsoleId, fsn, opcode, payload);
}
std::string DeviceFrame(uint8_t opcode, uint16_t fsn, const std::string& payload = "") {
  return BuildSdnpFrame(kSdnpDeviceId, fsn, opcode, payload);
}

// One datagram from the console and the datagrams the device sends for it.
struct Step {
  const char* what;
  std::string console;
  std::vector<std::string> device;
};

template <typename Device>
struct DatagramBench {
  DeviceModel model;
  Device device{model, kDevice};
  uint32_t now = 0xFFFFFFF0u;  // the clock wraps during the tests

  std::vector<std::string> Send(const std::string& bytes) {
    device.OnDatagram(kConsole, 50000, bytes, now);
    std::vector<OutgoingDatagram> out;
    device.TakeDue(now, out);
    now += 10;
    std::vector<std::string> sent;
    for (const OutgoingDatagram& datagram : out) {
      EXPECT_EQ(datagram.from, kDevice);
      EXPECT_EQ(datagram.to, kConsole);
      sent.push_back(datagram.bytes);
    }
    return sent;
  }
};

TEST(SdnpDevice, AnswersQuerySyncAndRequestAndIgnoresWhatIsNotTheConsolesFrame) {
  const std::string req_v = ConsoleFrame(kSdnpReq, 0x2A, "v");
  const std::string rep_v = DeviceFrame(kSdnpRep, 0x2A, kInfoReply);
  const Step steps[] = {
      {"query", ConsoleFrame(kSdnpQry, 0x1234), {DeviceFrame(kSdnpAct, 0x1234)}},
      {"request before a sync", req_v, {DeviceFrame(kSdnpRst, 0x2A)}},
      {"sync", ConsoleFrame(kSdnpSyn, 0x29), {DeviceFrame(kSdnpAck, 0x29)}},
      {"request", req_v, {rep_v}},
      {"the same request again", req_v, {rep_v}},
      {"the console's NAK after a REP", ConsoleFrame(kSdnpNak, 0x2A), {}},
      {"bad data checksum", WithBadDataChecksum(req_v), {DeviceFrame(kSdnpNak, 0x2A)}},
      {"a device's frame", DeviceFrame(kSdnpReq, 0x2B, "?"), {}},
      {"bad header checksum", req_v.substr(0, 11) + "\x77" + req_v.substr(12), {}},
      {"next request", ConsoleFrame(kSdnpReq, 0x2B, "?"), {DeviceFrame(kSdnpRep, 0x2B, "00/00/00")}},
  };
  DatagramBench<SdnpDevice> bench;
  for (const Step& step : steps) EXPECT_EQ(bench.Send(step.console), step.device) << step.what;
  EXPECT_EQ(bench.model.RequestLog(), (std::vector<std::string>{"v", "?"}));

  bench.model.ForceReply(std::string(600, 'r'));
  const auto cut = bench.Send(ConsoleFrame(kSdnpReq, 0x2C, "v"));
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0], DeviceFrame(kSdnpRep, 0x2C, std::string(500, 'r'))) << "a reply is cut to 500 bytes";
}

TEST(UdpDevice, AnswersEnquiryAndRequestPacketsByteForByte) {
  const Step steps[] = {
      {"ENQ", "\x05", {"\x06"}},
      {"request", "\x02v/65\x03", {"\x06", kInfoPacket}},
      {"NAK brings the reply again", "\x16", {kInfoPacket}},
      {"ACK", "\x06", {}},
      {"NAK after the ACK", "\x16", {}},
      {"bad checksum", "\x02v/64\x03", {"\x16"}},
      {"next request", "\x02?/10\x03", {"\x06", "\x02" "00/00/00/73\x03"}},
  };
  DatagramBench<UdpDevice> bench;
  for (const Step& step : steps) EXPECT_EQ(bench.Send(step.console), step.device) << step.what;
}

TEST(TcpDevice, AnswersEachLineWithItsReplyAndCrLfOrTheBareText) {
  const struct {
    std::string console;
    std::string device;
  } steps[] = {
      {"v\r", ""},
      {"\n", kInfoReply + "\r\n"},
      {"?\r\nv\r\n", "00/00/00\r\n " + kInfoReply + "\r\n"},
      {std::string(TcpDevice::kMaxRequestLine + 1, 'v') + "\r\n", ""},
      {"v\r\n", kInfoReply + "\r\n"},
  };
  for (const bool crlf : {true, false}) {
    DeviceModel model;
    TcpDevice device(model);
    device.SetRepliesEndWithCrLf(crlf);
    for (size_t i = 0; i < std::size(steps); ++i) {
      device.OnBytes(steps[i].console, 0);
      std::vector<StreamOutput> out;
      device.TakeDue(0, out);
      std::string text;
      for (const StreamOutput& output : out) text += (text.empty() ? "" : " ") + output.bytes;
      std::string expected = steps[i].device;
      if (!crlf) {
        std::erase(expected, '\r');
        std::erase(expected, '\n');
      }
      EXPECT_EQ(text, expected) << "step " << i << (crlf ? "" : ", bare");
    }
  }
}

// The pty it serves (the exchanges through it: tests/cli) is named by the link, which goes with the program.
TEST(VeritorSimProgram, ServesItsPtyThroughTheLinkAndRemovesTheLinkOnSigterm) {
  test::TempDir dir;
  const std::string link = dir.file("com1");
  test::SimulatorProcess simulator({"--link", link});
  ASSERT_FALSE(simulator.path().empty());
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(target, simulator.path());
  EXPECT_EQ(simulator.Stop(), 0);
  struct stat info {};
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the program";
}

}  // namespace
}  // namespace veritor::sim
