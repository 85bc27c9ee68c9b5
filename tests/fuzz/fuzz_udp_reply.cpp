// The UDP link's request and reply: a sync (ENQ, answered by ACK), the
// request packet, and the device's answers, all datagrams from the input: a
// mode byte (bit 0: with details), then datagrams (NetHost); flag bit 2 sends
// the bytes as the text of a reply packet with a right checksum.

#include "net/udp_link.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {

void FillIn(Record& datagram) {
  if (datagram.flags & 0x04) datagram.bytes = DevicePacket(datagram.bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  NetHost net(input, 0x01);
  UdpLink udp(net.links, net.record);
  FUZZ_CHECK(udp.UdpConnect(net.record, kDevice, true) == kResultOk);
  net.QueueBurst(FillIn);
  net.wire.respond = [&](const test::FakeWire::Datagram&) { net.QueueBurst(FillIn); };

  std::string reply;
  const int result = udp.Transact("v", reply, net.state.VerboseFlag);
  FUZZ_CHECK(result == kResultOk || result == kResultNoAnswer);
  FUZZ_CHECK(net.state.TransactionInProgress == 0);
  FUZZ_CHECK(result != kResultOk || reply.size() <= kMaxReplyText);
  // The reply is the text of a whole datagram from the device that is a
  // packet with a right checksum.
  FUZZ_CHECK(result != kResultOk || net.AnyDelivered([&](const std::string& d) { return d == DevicePacket(reply); }));
  return 0;
}

}  // namespace veritor::fuzz
