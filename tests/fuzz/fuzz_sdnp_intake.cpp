// SDNP frame intake: datagrams from the device's or another address, taken
// in by SdnpReceive until none is left, then an SdnpRequest (or a detection)
// whose answers come from the same input.
//
// Input: a mode byte (bit 0: detection instead of a request, bit 1: with
// details, so that frames are logged), then datagram records
// (datagram_bursts.h) whose flag bits 2 to 6 fill in, in this order, the
// device id, the fsn of the console's last frame, the length, the data
// checksum and the header checksum, when the datagram holds a header.

#include <algorithm>

#include "net/sdnp_session.h"
#include "tests/fuzz/datagram_bursts.h"

namespace veritor::fuzz {
namespace {

constexpr uint8_t kFillId = 0x04, kFillFsn = 0x08, kFillLength = 0x10, kFillDataChecksum = 0x20,
                  kFillHeaderChecksum = 0x40;
constexpr size_t kHeader = 12;

uint16_t Get16(const std::string& frame, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(frame[at]) | static_cast<uint8_t>(frame[at + 1]) << 8);
}

void Put16(std::string& frame, size_t at, uint16_t value) {
  frame[at] = static_cast<char>(value & 0xFF);
  frame[at + 1] = static_cast<char>(value >> 8);
}

uint16_t Checksum(std::string_view bytes) {
  uint16_t sum = 0xAA55;
  for (char c : bytes) sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(c));
  return sum;
}

void FillIn(ScriptedDatagram& datagram, uint16_t console_fsn) {
  std::string& frame = datagram.bytes;
  if (frame.size() < kHeader) return;
  const std::string_view payload = std::string_view(frame).substr(kHeader);
  if (datagram.flags & kFillId) Put16(frame, 0, kSdnpDeviceId);
  if (datagram.flags & kFillFsn) Put16(frame, 2, console_fsn);
  if (datagram.flags & kFillLength) Put16(frame, 6, static_cast<uint16_t>(payload.size()));
  if (datagram.flags & kFillDataChecksum) Put16(frame, 8, Checksum(payload));
  if (datagram.flags & kFillHeaderChecksum) Put16(frame, 10, Checksum(std::string_view(frame).substr(0, 10)));
}

// The checks every frame must pass before the console looks at it, the
// sender's address aside.
bool PassesIntakeChecks(const std::string& frame) {
  return frame.size() >= kHeader && frame.size() <= kSdnpMaxFrame &&
         Get16(frame, 10) == Checksum(std::string_view(frame).substr(0, 10)) &&
         Get16(frame, 6) == frame.size() - kHeader && Get16(frame, 0) == kSdnpDeviceId;
}

uint8_t Opcode(const std::string& frame) { return static_cast<uint8_t>(frame[4]); }

bool IsGoodReply(const std::string& frame, uint16_t fsn, const std::string& reply) {
  if (!PassesIntakeChecks(frame) || Opcode(frame) != kSdnpRep || Get16(frame, 2) != fsn) return false;
  const std::string payload = frame.substr(kHeader);
  return payload == reply && (payload.empty() || Get16(frame, 8) == Checksum(payload));
}

// The fsn of the last frame of this opcode that the console sent.
uint16_t LastSentFsn(const test::FakeWire& wire, uint8_t opcode) {
  for (auto sent = wire.sent.rbegin(); sent != wire.sent.rend(); ++sent)
    if (sent->bytes.size() >= kHeader && Opcode(sent->bytes) == opcode) return Get16(sent->bytes, 2);
  FUZZ_CHECK(false);
  return 0;
}

struct SdnpFixture {
  FuzzHost fuzz{5};
  test::FakeWire wire;
  test::FakeNetwork network{wire};
  NetLinks links{fuzz.host, network};
  SdnpLink record;
  SdnpSession sdnp{links, record};
};

void TakeInTheFirstBurst(SdnpFixture& f, DatagramBursts& bursts) {
  bursts.QueueNext(f.wire, [](ScriptedDatagram& d) { FillIn(d, 0); });
  while (!f.wire.incoming.empty()) {
    bool taken = false;
    FUZZ_CHECK(f.sdnp.SdnpReceive(f.record, taken) == kResultOk);
    if (!taken) continue;
    const std::string frame(reinterpret_cast<const char*>(f.record.rx.data()), f.record.rx_size);
    FUZZ_CHECK(PassesIntakeChecks(frame));
    FUZZ_CHECK(f.record.peer_ip == kDevice);
    FUZZ_CHECK(bursts.AnyDelivered([&](const std::string& d) { return d == frame; }));
  }
}

void Request(SdnpFixture& f, DatagramBursts& bursts) {
  std::string reply;
  const int result = f.sdnp.Transact("v", reply, false);
  FUZZ_CHECK(result == kResultOk || result == kResultNoAnswer);
  if (result != kResultOk) return;
  FUZZ_CHECK(reply.size() <= kSdnpMaxPayload);
  const uint16_t fsn = LastSentFsn(f.wire, kSdnpReq);
  FUZZ_CHECK(bursts.AnyDelivered([&](const std::string& d) { return IsGoodReply(d, fsn, reply); }));
}

void Detect(SdnpFixture& f, DatagramBursts& bursts) {
  std::vector<Ipv4Address> devices;
  FUZZ_CHECK(f.sdnp.SdnpDetect(devices) == kResultOk);
  FUZZ_CHECK(devices.size() <= SdnpSession::kMaxDetected);
  const uint16_t query = LastSentFsn(f.wire, kSdnpQry);
  for (size_t i = 0; i < devices.size(); ++i) {
    FUZZ_CHECK(std::count(devices.begin(), devices.end(), devices[i]) == 1);
    bool answered = false;
    for (const auto& d : bursts.Delivered())
      answered = answered || (d.peer == devices[i] && PassesIntakeChecks(d.bytes) && Opcode(d.bytes) == kSdnpAct &&
                              Get16(d.bytes, 2) == query);
    FUZZ_CHECK(answered);
  }
}

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  const uint8_t mode = input.Byte();
  DatagramBursts bursts(input);
  SdnpFixture f;
  f.fuzz.pump.max_turns = 100'000;
  f.fuzz.state.VerboseFlag = (mode & 0x02) != 0;
  FUZZ_CHECK(f.sdnp.SdnpConnect(f.record, kDevice, false) == kResultOk);
  TakeInTheFirstBurst(f, bursts);
  f.wire.respond = [&](const test::FakeWire::Datagram& sent) {
    const uint16_t fsn = sent.bytes.size() >= kHeader ? Get16(sent.bytes, 2) : 0;
    bursts.QueueNext(f.wire, [fsn](ScriptedDatagram& d) { FillIn(d, fsn); });
  };
  if (mode & 0x01)
    Detect(f, bursts);
  else
    Request(f, bursts);
  FUZZ_CHECK(f.fuzz.state.TransactionInProgress == 0);
  return 0;
}
