// The UDP link's request and reply: a sync (ENQ, answered by ACK), the
// request packet, and the device's answers, all datagrams from the input.
//
// Input: a mode byte (bit 0: with details), then datagram records
// (datagram_bursts.h); flag bit 2 sends the bytes as the text of a reply
// packet with its framing and a right checksum.

#include "net/udp_link.h"
#include "tests/fuzz/datagram_bursts.h"

namespace veritor::fuzz {
namespace {

constexpr uint8_t kAsPacket = 0x04;

void FillIn(ScriptedDatagram& datagram) {
  if (datagram.flags & kAsPacket) datagram.bytes = DevicePacket(datagram.bytes);
}

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  const uint8_t mode = input.Byte();
  DatagramBursts bursts(input);
  FuzzHost fuzz(5);
  fuzz.pump.max_turns = 100'000;
  fuzz.state.VerboseFlag = (mode & 0x01) != 0;
  test::FakeWire wire;
  test::FakeNetwork network(wire);
  NetLinks links(fuzz.host, network);
  SdnpLink record;
  UdpLink udp(links, record);
  FUZZ_CHECK(udp.UdpConnect(record, kDevice, true) == kResultOk);
  bursts.QueueNext(wire, FillIn);
  wire.respond = [&](const test::FakeWire::Datagram&) { bursts.QueueNext(wire, FillIn); };

  std::string reply;
  const int result = udp.Transact("v", reply, fuzz.state.VerboseFlag);
  FUZZ_CHECK(result == kResultOk || result == kResultNoAnswer);
  FUZZ_CHECK(fuzz.state.TransactionInProgress == 0);
  if (result == kResultOk) {
    FUZZ_CHECK(reply.size() <= kMaxReplyText);
    // The reply is the text of a whole datagram from the device that is a
    // packet with a right checksum.
    FUZZ_CHECK(bursts.AnyDelivered([&](const std::string& d) { return d == DevicePacket(reply); }));
  }
  return 0;
}
