// The TCP link's requests and replies: the device's stream bytes come from
// the input in chunks, one chunk after each request the console sends, each
// after a pause; the device may close the stream. All connections share the
// one scripted stream.
//
// Input: a mode byte (bit 0: with details; bits 1 and 2: 1 to 4 requests),
// then one record per chunk: flags (bit 0: the device closes the stream
// after it; bits 1 to 3: the chunk arrives after that many 300 ms), the
// length (2 bytes, little-endian), the bytes.

#include <deque>

#include "net/tcp_link.h"
#include "tests/fuzz/datagram_bursts.h"

namespace veritor::fuzz {
namespace {

struct Chunk {
  uint8_t flags = 0;
  std::string bytes;
};

// Plays the chunks onto the wire: one is due after every send and arrives
// once its pause has passed.
class StreamScript {
 public:
  StreamScript(InputReader& input, test::FakeWire& wire, TickClock& clock) : wire_(wire), clock_(clock) {
    while (!input.empty()) {
      Chunk chunk;
      chunk.flags = input.Byte();
      chunk.bytes = input.Take(input.Word());
      chunks_.push_back(std::move(chunk));
    }
  }

  void OnSend() {
    if (chunks_.empty()) return;
    due_.push_back({clock_.GetTickCount() + ((chunks_.front().flags >> 1) & 0x07) * 300u, chunks_.front()});
    chunks_.pop_front();
  }
  void OnTurn() {
    while (!due_.empty() && static_cast<int32_t>(clock_.GetTickCount() - due_.front().at) >= 0) {
      wire_.stream_in += due_.front().chunk.bytes;
      delivered_ += due_.front().chunk.bytes;
      wire_.peer_closed = wire_.peer_closed || (due_.front().chunk.flags & 0x01) != 0;
      due_.pop_front();
    }
  }
  // Every byte the device has sent so far.
  const std::string& Delivered() const { return delivered_; }

 private:
  struct Due {
    uint32_t at;
    Chunk chunk;
  };
  test::FakeWire& wire_;
  TickClock& clock_;
  std::deque<Chunk> chunks_;
  std::deque<Due> due_;
  std::string delivered_;
};

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  const uint8_t mode = input.Byte();
  FuzzHost fuzz(5);
  fuzz.pump.max_turns = 100'000;
  fuzz.state.VerboseFlag = (mode & 0x01) != 0;
  test::FakeWire wire;
  StreamScript script(input, wire, fuzz.clock);
  fuzz.pump.on_turn = [&] { script.OnTurn(); };
  test::FakeNetwork network(wire);
  NetLinks links(fuzz.host, network);
  SdnpLink record;
  TcpLink tcp(links);
  FUZZ_CHECK(tcp.TcpConnect(record, kDevice, true) == kResultOk);
  wire.respond = [&](const test::FakeWire::Datagram&) { script.OnSend(); };

  size_t consumed = 0;
  for (int request = 0; request <= (mode >> 1 & 0x03); ++request) {
    std::string reply;
    const int result = tcp.Transact("v", reply, fuzz.state.VerboseFlag);
    FUZZ_CHECK(result == kResultOk || result == kResultNoAnswer || result == kResultSocketFailed);
    FUZZ_CHECK(fuzz.state.TransactionInProgress == 0);
    if (result != kResultOk) continue;
    // A reply is an unbroken piece of the stream after what earlier replies
    // took (bytes in between may have been dropped), never more than a reply
    // holds.
    FUZZ_CHECK(!reply.empty() && reply.size() <= kMaxReplyText);
    const size_t at = script.Delivered().find(reply, consumed);
    FUZZ_CHECK(at != std::string::npos);
    consumed = at + reply.size();
  }
  return 0;
}
