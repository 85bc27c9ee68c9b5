#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_model.h"
#include "sim/net_common.h"

namespace veritor::sim {

// What the device does to its end of the connection.
struct StreamOutput {
  enum class Kind { kData, kClose, kReset };
  Kind kind = Kind::kData;
  std::string bytes;  // kData only
};

// The device's side of the TCP link over one connection at a time, as a
// state machine over time with no I/O of its own.
//
// A request is the bytes up to CR LF; the answer is the model's reply text
// and CR LF, or the text alone (SetRepliesEndWithCrLf(false)), the way the
// simulator answered before. Requests that arrive together
// are answered in order. A request line longer than kMaxRequestLine is not
// carried out and gets no answer (what came of it cannot be trusted), so the
// console times out.
//
// Faults, each planned entry used once and in order by the requests:
// kSilence (not carried out), kLate, kSplit, kClose (the first half of the
// reply, then the device closes), kReset (not carried out), kBusy. After a close or
// reset the device hears nothing until the next connection.
class TcpDevice {
 public:
  static constexpr size_t kMaxRequestLine = 4096;

  explicit TcpDevice(DeviceModel& model) : model_(model) {}

  // A new connection: a half-received request and anything unsent are dropped.
  void OnConnect();
  void OnBytes(std::string_view bytes, uint32_t now_ms);
  // Appends what is due at or before now_ms, in order.
  void TakeDue(uint32_t now_ms, std::vector<StreamOutput>& out);
  std::optional<uint32_t> NextDue() const;

  DeviceModel& model() { return model_; }
  void SetRepliesEndWithCrLf(bool crlf) { crlf_ = crlf; }
  void EnableRandomFaults(uint32_t seed, double probability, FaultMix mix = FaultMix::kRecoverable) {
    dice_.Enable(seed, probability, mix);
  }
  void DisableRandomFaults() { dice_.Disable(); }
  uint64_t FaultsInjected() const { return dice_.faults_injected(); }

  std::deque<FaultEntry> faults;

 private:
  struct Due {
    uint32_t due;
    StreamOutput output;
  };

  void OnRequestLine(uint32_t now_ms);
  std::span<const FaultEntry> RequestChoices() const;
  void Answer(const FaultEntry& fault, const std::string& reply, uint32_t now_ms);
  void Schedule(uint32_t due, StreamOutput output);

  DeviceModel& model_;
  FaultDice dice_;
  std::string line_;
  bool line_overflowed_ = false;
  bool last_was_cr_ = false;
  bool ended_ = false;  // closed or reset: deaf until the next connection
  bool crlf_ = true;
  std::deque<Due> output_;
};

}  // namespace veritor::sim
