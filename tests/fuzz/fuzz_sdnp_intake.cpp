// SDNP frame intake: datagrams from the device's or another address, taken
// in by SdnpReceive until none is left, then a request (or a detection)
// whose answers come from the same input.
// Input: a mode byte (bit 0: detection, bit 1: with details), then datagrams
// (NetHost) whose flag bits 2 to 6 fill in the device id, the fsn of the
// console's last frame, the length, the data checksum and the header
// checksum, when the datagram holds a header.

#include <map>

#include "net/sdnp_session.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {

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

void FillIn(Record& datagram, uint16_t console_fsn) {
  std::string& frame = datagram.bytes;
  if (frame.size() < kHeader) return;
  const std::string_view payload = std::string_view(frame).substr(kHeader);
  if (datagram.flags & 0x04) Put16(frame, 0, kSdnpDeviceId);
  if (datagram.flags & 0x08) Put16(frame, 2, console_fsn);
  if (datagram.flags & 0x10) Put16(frame, 6, static_cast<uint16_t>(payload.size()));
  if (datagram.flags & 0x20) Put16(frame, 8, Checksum(payload));
  if (datagram.flags & 0x40) Put16(frame, 10, Checksum(std::string_view(frame).substr(0, 10)));
}

// A frame of `opcode` for the console's frame `fsn` that passes the checks
// every frame must pass before the console looks at it, the sender's address
// aside (any opcode and fsn when `opcode` is 0xFF).
bool PassesIntakeChecks(const std::string& frame, uint8_t opcode = 0xFF, uint16_t fsn = 0) {
  return frame.size() >= kHeader && frame.size() <= kSdnpMaxFrame &&
         Get16(frame, 10) == Checksum(std::string_view(frame).substr(0, 10)) &&
         Get16(frame, 6) == frame.size() - kHeader && Get16(frame, 0) == kSdnpDeviceId &&
         (opcode == 0xFF || (static_cast<uint8_t>(frame[4]) == opcode && Get16(frame, 2) == fsn));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  NetHost net(input, 0x02);
  SdnpSession sdnp(net.links, net.record);
  FUZZ_CHECK(sdnp.SdnpConnect(net.record, kDevice, false) == kResultOk);

  // The first burst is taken in before any request: only frames from the
  // device that pass the checks, each as it came.
  net.QueueBurst([](Record& d) { FillIn(d, 0); });
  while (!net.wire.incoming.empty()) {
    bool taken = false;
    FUZZ_CHECK(sdnp.SdnpReceive(net.record, taken) == kResultOk);
    if (!taken) continue;
    const std::string frame(reinterpret_cast<const char*>(net.record.rx.data()), net.record.rx_size);
    FUZZ_CHECK(PassesIntakeChecks(frame));
    FUZZ_CHECK(net.record.peer_ip == kDevice);
    FUZZ_CHECK(net.AnyDelivered([&](const std::string& d) { return d == frame; }));
  }

  std::map<uint8_t, uint16_t> last_fsn;  // of the console's last frame of each opcode; at() throws for none
  net.wire.respond = [&](const test::FakeWire::Datagram& sent) {
    const uint16_t fsn = sent.bytes.size() >= kHeader ? Get16(sent.bytes, 2) : 0;
    if (sent.bytes.size() >= kHeader) last_fsn[static_cast<uint8_t>(sent.bytes[4])] = fsn;
    net.QueueBurst([fsn](Record& d) { FillIn(d, fsn); });
  };
  if (net.mode & 0x01) {
    // Every device detected answered the query, once in the list.
    std::vector<Ipv4Address> devices;
    FUZZ_CHECK(sdnp.SdnpDetect(devices) == kResultOk);
    FUZZ_CHECK(devices.size() <= SdnpSession::kMaxDetected);
    const uint16_t query = last_fsn.at(kSdnpQry);
    for (const Ipv4Address device : devices) {
      FUZZ_CHECK(std::count(devices.begin(), devices.end(), device) == 1);
      FUZZ_CHECK(
          net.AnyDelivered([&](const std::string& d) { return PassesIntakeChecks(d, kSdnpAct, query); }, device));
    }
  } else {
    // A reply is the payload of a reply frame from the device to the request,
    // with a right data checksum.
    std::string reply;
    const int result = sdnp.Transact("v", reply, false);
    FUZZ_CHECK(result == kResultOk || result == kResultNoAnswer);
    FUZZ_CHECK(result != kResultOk || reply.size() <= kSdnpMaxPayload);
    FUZZ_CHECK(result != kResultOk || net.AnyDelivered([&](const std::string& d) {
      return PassesIntakeChecks(d, kSdnpRep, last_fsn.at(kSdnpReq)) && d.substr(kHeader) == reply &&
             (reply.empty() || Get16(d, 8) == Checksum(reply));
    }));
  }
  FUZZ_CHECK(net.state.TransactionInProgress == 0);
  return 0;
}

}  // namespace veritor::fuzz
