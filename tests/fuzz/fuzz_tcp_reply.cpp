// The TCP link's requests and replies: the device's stream comes from the
// input in chunks, one due after each request the console sends; the device
// may close the stream. All connections share the one scripted stream.
// Input: a mode byte (bit 0: with details; bits 1 and 2: 1 to 4 requests),
// then a record per chunk, flags bit 0: the device closes the stream after
// it; bits 1 to 3: it arrives that many 300 ms after the request.

#include "net/tcp_link.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  NetHost net(input, 0x01);                     // the records are the stream's chunks
  std::deque<std::pair<uint32_t, Record>> due;  // chunks sent, with the tick they arrive at
  std::string delivered;                        // every byte the device has sent so far
  net.on_turn = [&] {
    while (!due.empty() && static_cast<int32_t>(net.clock.GetTickCount() - due.front().first) >= 0) {
      const Record& chunk = due.front().second;
      net.wire.stream_in += chunk.bytes;
      delivered += chunk.bytes;
      net.wire.peer_closed = net.wire.peer_closed || (chunk.flags & 0x01) != 0;
      due.pop_front();
    }
  };
  TcpLink tcp(net.links);
  FUZZ_CHECK(tcp.TcpConnect(net.record, kDevice, true) == kResultOk);
  // One chunk is due after every send and arrives once its pause has passed.
  net.wire.respond = [&](const test::FakeWire::Datagram&) {
    if (net.next == net.records.size()) return;
    const Record& chunk = net.records[net.next++];
    due.push_back({net.clock.GetTickCount() + ((chunk.flags >> 1) & 0x07) * 300u, chunk});
  };

  size_t consumed = 0;
  for (int request = 0; request <= (net.mode >> 1 & 0x03); ++request) {
    std::string reply;
    const int result = tcp.Transact("v", reply, net.state.VerboseFlag);
    FUZZ_CHECK(result == kResultOk || result == kResultNoAnswer || result == kResultSocketFailed);
    FUZZ_CHECK(net.state.TransactionInProgress == 0);
    if (result != kResultOk) continue;
    // A reply is an unbroken piece of the stream that ends at a CR LF, after
    // what earlier replies took (bytes in between may be dropped), at most a
    // reply's length; the CR LF is not part of it.
    FUZZ_CHECK(reply.size() <= kMaxReplyText);
    const size_t at = delivered.find(reply + "\r\n", consumed);
    FUZZ_CHECK(at != std::string::npos);
    consumed = at + reply.size() + 2;
  }
  return 0;
}

}  // namespace veritor::fuzz
