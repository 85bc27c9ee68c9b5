// The serial link's reply receiver, fed byte by byte by a device that plays
// the fuzz input.
//
// Input: byte 0 picks the request ("v", "A" or "Q"); byte 1 is the pause
// marker M; the rest are the device's bytes after it acknowledged the enquiry
// and the request packet. M then 0 is the byte M itself, M then k > 0 a
// pause of k * 10 ms.

#include <filesystem>

#include "serial/serial_link.h"
#include "tests/fuzz/fuzz_host.h"
#include "tests/support/temp_dir.h"

namespace veritor::fuzz {
namespace {

constexpr uint8_t kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06;

struct ScriptItem {
  uint8_t byte = 0;
  uint32_t pause_ms = 0;  // a pause instead of a byte when not 0
};

std::vector<ScriptItem> DecodeScript(InputReader& input) {
  const uint8_t marker = input.Byte();
  std::vector<ScriptItem> script;
  while (!input.empty()) {
    const uint8_t byte = input.Byte();
    if (byte != marker) {
      script.push_back({byte, 0});
    } else if (const uint8_t tens = input.Byte(); tens == 0) {
      script.push_back({marker, 0});
    } else {
      script.push_back({0, tens * 10u});
    }
  }
  return script;
}

// The device's end of the line: ACK to the enquiry and to the request
// packet, then the script, whose bytes arrive as the clock passes its pauses.
class ScriptedDevicePort final : public BytePort {
 public:
  ScriptedDevicePort(TickClock& clock, std::vector<ScriptItem> script) : clock_(clock), script_(std::move(script)) {}

  size_t InputCount() override {
    Release();
    return arrived_.size();
  }
  bool ReadByte(uint8_t& byte) override {
    Release();
    if (arrived_.empty()) return false;
    byte = static_cast<uint8_t>(arrived_.front());
    arrived_.erase(0, 1);
    if (playing_) taken_ += static_cast<char>(byte);
    return true;
  }
  bool WriteByte(uint8_t byte) override {
    if (byte == kEnq) arrived_ += static_cast<char>(kAck);
    if (byte == kStx) in_packet_ = true;
    if (byte == kEtx && in_packet_ && !playing_) {
      arrived_ += static_cast<char>(kAck);
      playing_ = true;
    }
    return true;
  }
  void Purge() override { arrived_.clear(); }

  // The bytes the console took after the packet's ACK.
  const std::string& Taken() const { return taken_; }

 private:
  void Release() {
    if (!playing_) return;
    for (; next_ < script_.size(); ++next_) {
      const ScriptItem& item = script_[next_];
      if (item.pause_ms == 0) {
        arrived_ += static_cast<char>(item.byte);
        continue;
      }
      if (!holding_) {
        hold_until_ = clock_.GetTickCount() + item.pause_ms;
        holding_ = true;
      }
      if (static_cast<int32_t>(clock_.GetTickCount() - hold_until_) < 0) return;
      holding_ = false;
    }
  }

  TickClock& clock_;
  std::vector<ScriptItem> script_;
  size_t next_ = 0;
  bool holding_ = false;
  uint32_t hold_until_ = 0;
  std::string arrived_;
  std::string taken_;
  bool in_packet_ = false;
  bool playing_ = false;
};

class OneTimeOpener final : public PortOpener {
 public:
  explicit OneTimeOpener(std::unique_ptr<BytePort> port) : port_(std::move(port)) {}
  PortOpenResult Open(unsigned, const LineSettings&) override { return {std::move(port_), "fuzz", "in use"}; }

 private:
  std::unique_ptr<BytePort> port_;
};

// Every wait ends at the latest 2000 ms after the byte or pause before it.
uint64_t TurnLimit(const std::vector<ScriptItem>& script) {
  uint64_t limit = 10'000;
  for (const ScriptItem& item : script) limit += item.pause_ms + 2'100;
  return limit;
}

// The console took the whole body of a packet with a right checksum as the
// reply: the last packet it read. A reply to "Q" keeps only the first
// ZReportFiles::kMaxQReply characters of the text.
bool TookWholePacket(const std::string& taken, const std::string& reply, bool cut_to_q_reply) {
  if (!cut_to_q_reply || reply.size() < ZReportFiles::kMaxQReply) return EndsWith(taken, DevicePacket(reply));
  for (size_t stx = taken.find(kStx); stx != std::string::npos; stx = taken.find(kStx, stx + 1)) {
    const size_t framing = stx + 1 + 4;  // the STX, "/", two digits, ETX
    if (framing > taken.size() || taken.compare(stx + 1, reply.size(), reply) != 0) continue;
    if (EndsWith(taken, DevicePacket(std::string_view(taken).substr(stx + 1, taken.size() - framing)))) return true;
  }
  return false;
}

void RemoveFilesIn(const std::string& directory) {
  for (const auto& entry : std::filesystem::directory_iterator(directory)) std::filesystem::remove_all(entry.path());
}

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static test::TempDir out;
  InputReader input(data, size);
  const char* const requests[] = {"v", "A", "Q"};
  const std::string request = requests[input.Byte() % 3];
  std::vector<ScriptItem> script = DecodeScript(input);

  FuzzHost fuzz;
  fuzz.pump.max_turns = TurnLimit(script);
  auto owned_port = std::make_unique<ScriptedDevicePort>(fuzz.clock, std::move(script));
  ScriptedDevicePort& port = *owned_port;
  OneTimeOpener opener(std::move(owned_port));
  SerialPorts ports(fuzz.host, opener);
  FUZZ_CHECK(ports.OpenPort(1, 115200, 'N', 8, 1) == 1);
  ZReportFiles z_report(fuzz.log, fuzz.prompts, out.slash());
  SerialLink link(fuzz.host, ports, z_report);

  std::string reply;
  const int result = link.SerialTransaction(request, reply, true);
  FUZZ_CHECK(result == kResultOk || result == kResultReceiveStxTimeout || result == kResultRetriesFailed);
  FUZZ_CHECK(fuzz.state.TransactionInProgress == 0);
  if (result == kResultOk) {
    FUZZ_CHECK(reply.size() <= kMaxReplyText);
    // The reply is the whole body of the last packet read, and that packet's
    // checksum is right.
    FUZZ_CHECK(TookWholePacket(port.Taken(), reply, request == "Q"));
  }
  z_report.CloseAFile();
  RemoveFilesIn(out.path());
  return 0;
}
