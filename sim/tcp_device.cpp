#include "sim/tcp_device.h"

namespace veritor::sim {

namespace {

// Random faults are the ones the console recovers from by asking again.
constexpr FaultEntry kRequestChoices[] = {
    {NetFault::kSilence}, {NetFault::kLate, 300}, {NetFault::kLate, 1500}, {NetFault::kSplit, 20},
};
// Every kind: also a close in the middle of a reply, a reset, and BUSY. A
// stream carries no checksum, so no byte of it is ever damaged. The pieces of
// a split reply come well within the console's 50 ms of quiet, however busy
// the machine.
constexpr FaultEntry kEveryRequestChoice[] = {
    {NetFault::kSilence}, {NetFault::kLate, 300}, {NetFault::kLate, 1500}, {NetFault::kSplit, 5},
    {NetFault::kBusy},    {NetFault::kClose},     {NetFault::kReset},
};

}  // namespace

std::span<const FaultEntry> TcpDevice::RequestChoices() const {
  switch (dice_.mix()) {
    case FaultMix::kEveryKind: return kEveryRequestChoice;
    // Without the close and the reset, which end the connection.
    case FaultMix::kEveryRecoverableKind: return std::span(kEveryRequestChoice).first(4);
    default: return kRequestChoices;
  }
}

void TcpDevice::OnConnect() {
  line_.clear();
  line_overflowed_ = false;
  last_was_cr_ = false;
  ended_ = false;
  output_.clear();
}

void TcpDevice::OnBytes(std::string_view bytes, uint32_t now_ms) {
  for (char c : bytes) {
    if (ended_) return;
    if (c == '\n' && last_was_cr_) {
      OnRequestLine(now_ms);
      continue;
    }
    last_was_cr_ = c == '\r';
    if (line_.size() < kMaxRequestLine) {
      line_ += c;
    } else {
      line_overflowed_ = true;
    }
  }
}

void TcpDevice::OnRequestLine(uint32_t now_ms) {
  const bool overflowed = line_overflowed_;
  // Without an overflow the CR is the line's last byte.
  if (!overflowed) line_.pop_back();
  const std::string request = std::move(line_);
  line_.clear();
  line_overflowed_ = false;
  last_was_cr_ = false;
  if (overflowed) return;
  const FaultEntry fault = dice_.Next(faults, RequestChoices());
  if (fault.kind == NetFault::kSilence) return;
  if (fault.kind == NetFault::kReset) {
    Schedule(now_ms, {StreamOutput::Kind::kReset, {}});
    ended_ = true;
    return;
  }
  if (fault.kind == NetFault::kBusy) model_.AnswerBusy(1);
  Answer(fault, crlf_ ? model_.Handle(request) + "\r\n" : model_.Handle(request), now_ms);
}

void TcpDevice::Answer(const FaultEntry& fault, const std::string& reply, uint32_t now_ms) {
  const size_t half = reply.size() / 2;
  switch (fault.kind) {
    case NetFault::kLate:
      Schedule(now_ms + fault.value, {StreamOutput::Kind::kData, reply});
      break;
    case NetFault::kSplit:
      Schedule(now_ms, {StreamOutput::Kind::kData, reply.substr(0, half)});
      Schedule(now_ms + fault.value, {StreamOutput::Kind::kData, reply.substr(half)});
      break;
    case NetFault::kClose:
      Schedule(now_ms, {StreamOutput::Kind::kData, reply.substr(0, half)});
      Schedule(now_ms, {StreamOutput::Kind::kClose, {}});
      ended_ = true;
      break;
    default:
      Schedule(now_ms, {StreamOutput::Kind::kData, reply});
      break;
  }
}

// A stream keeps its order: nothing is due before what was scheduled earlier.
void TcpDevice::Schedule(uint32_t due, StreamOutput output) {
  if (!output_.empty() && !Reached(output_.back().due, due)) due = output_.back().due;
  if (output.kind == StreamOutput::Kind::kData && output.bytes.empty()) return;
  output_.push_back({due, std::move(output)});
}

void TcpDevice::TakeDue(uint32_t now_ms, std::vector<StreamOutput>& out) {
  while (!output_.empty() && Reached(output_.front().due, now_ms)) {
    out.push_back(std::move(output_.front().output));
    output_.pop_front();
  }
}

std::optional<uint32_t> TcpDevice::NextDue() const {
  if (output_.empty()) return std::nullopt;
  return output_.front().due;
}

}  // namespace veritor::sim
