// The serial link's reply receiver, fed byte by byte by a device that plays
// the input: byte 0 picks the request ("v", "A" or "Q"); byte 1 is the pause
// marker M; the rest are the device's bytes after it acknowledged the enquiry
// and the request packet, M then 0 the byte M, M then k > 0 a k * 10 ms pause.

#include "serial/serial_link.h"
#include "tests/fuzz/fuzz_host.h"
#include "tests/support/temp_dir.h"

namespace veritor::fuzz {

constexpr uint8_t kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06;

// The device's end of the line: ACK to the enquiry and to the request
// packet, then the script, whose bytes arrive as the clock passes its pauses.
class ScriptedDevicePort final : public BytePort {
 public:
  ScriptedDevicePort(TickClock& clock, InputReader& input) : clock_(clock) {
    const uint8_t marker = input.Byte();
    uint32_t at = 0;
    while (!input.rest.empty()) {
      const uint8_t byte = input.Byte();
      const uint8_t tens = byte == marker ? input.Byte() : 0;
      at += tens * 10u;
      if (tens == 0) script_.push_back({at, byte});
      // Every wait ends at the latest 2000 ms after the byte or pause before it.
      turn_limit += tens * 10u + 2'100;
    }
  }

  size_t InputCount() override {
    for (; playing_ && next_ < script_.size() && clock_.GetTickCount() - start_ >= script_[next_].first; ++next_)
      arrived_ += static_cast<char>(script_[next_].second);
    return arrived_.size();
  }
  bool ReadByte(uint8_t& byte) override {
    if (InputCount() == 0) return false;
    byte = static_cast<uint8_t>(arrived_.front());
    arrived_.erase(0, 1);
    if (playing_) taken += static_cast<char>(byte);
    return true;
  }
  bool WriteByte(uint8_t byte) override {
    if (byte == kEtx && in_packet_ && !playing_) start_ = clock_.GetTickCount();
    if (byte == kEnq || (byte == kEtx && in_packet_ && !playing_)) arrived_ += static_cast<char>(kAck);
    playing_ = playing_ || (byte == kEtx && in_packet_);
    in_packet_ = in_packet_ || byte == kStx;
    return true;
  }
  void Purge() override { arrived_.clear(); }

  std::string taken;  // the bytes the console took after the packet's ACK
  uint64_t turn_limit = 10'000;

 private:
  TickClock& clock_;
  std::vector<std::pair<uint32_t, uint8_t>> script_;  // each byte with the ms after the packet's ACK it comes at
  size_t next_ = 0;
  uint32_t start_ = 0;  // when the packet's ACK went
  std::string arrived_;
  bool in_packet_ = false;
  bool playing_ = false;
};

struct OneTimeOpener final : PortOpener {
  PortOpenResult Open(unsigned, const LineSettings&) override { return {std::move(port), "fuzz", "in use"}; }
  std::unique_ptr<ScriptedDevicePort> port;
};

// The console took the whole body of a packet with a right checksum as the
// reply: the last packet it read. A reply to "Q" keeps only the first
// ZReportFiles::kMaxQReply characters of the text.
bool TookWholePacket(std::string_view taken, const std::string& reply, bool cut_to_q_reply) {
  const bool cut = cut_to_q_reply && reply.size() >= ZReportFiles::kMaxQReply;
  for (size_t stx = taken.find(kStx); stx != std::string::npos && stx + 5 <= taken.size();
       stx = taken.find(kStx, stx + 1)) {
    const std::string_view body = taken.substr(stx + 1, taken.size() - stx - 5);  // less "/", two digits, ETX
    if ((cut ? body.starts_with(reply) : body == reply) && taken.ends_with(DevicePacket(body))) return true;
  }
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const test::TempDir out;  // for the Z report's files of "A" and "Q"
  InputReader input(data, size);
  const std::string request(1, "vAQ"[input.Byte() % 3]);
  FuzzHost fuzz;
  OneTimeOpener opener;
  opener.port = std::make_unique<ScriptedDevicePort>(fuzz.clock, input);
  ScriptedDevicePort& port = *opener.port;
  fuzz.max_turns = port.turn_limit;
  SerialPorts ports(fuzz.host, opener);
  FUZZ_CHECK(ports.OpenPort(1, 115200, 'N', 8, 1) == 1);
  ZReportFiles z_report(fuzz.log, fuzz.prompts, out.slash());
  SerialLink link(fuzz.host, ports, z_report);

  std::string reply;
  const int result = link.SerialTransaction(request, reply, true);
  // A reply phase that outlasts its bound (a script of long pauses) is given up.
  FUZZ_CHECK(result == kResultOk || result == kResultReceiveStxTimeout || result == kResultRetriesFailed ||
             result == kResultReplyOverrun);
  FUZZ_CHECK(fuzz.state.TransactionInProgress == 0);
  FUZZ_CHECK(result != kResultOk || reply.size() <= kMaxReplyText);
  FUZZ_CHECK(result != kResultOk || TookWholePacket(port.taken, reply, request == "Q"));
  z_report.CloseAFile();
  for (const auto& entry : std::filesystem::directory_iterator(out.path())) std::filesystem::remove_all(entry.path());
  return 0;
}

}  // namespace veritor::fuzz
