#include "sim/net_common.h"

#include <algorithm>

namespace veritor::sim {

void FaultDice::Enable(uint32_t seed, double probability, FaultMix mix) {
  random_.seed(seed);
  probability_ = std::clamp(probability, 0.0, 1.0);
  mix_ = mix;
}

FaultEntry FaultDice::Next(std::deque<FaultEntry>& planned, std::span<const FaultEntry> choices) {
  FaultEntry fault;
  if (!planned.empty()) {
    fault = planned.front();
    planned.pop_front();
  } else {
    fault = Draw(choices);
  }
  if (fault.kind != NetFault::kNone) ++faults_injected_;
  return fault;
}

bool FaultDice::Hit() {
  if (probability_ <= 0) return false;
  return random_() < probability_ * static_cast<double>(std::mt19937::max()) || probability_ >= 1.0;
}

std::optional<size_t> FaultDice::Pick(size_t count) {
  if (count == 0 || !Hit()) return std::nullopt;
  ++faults_injected_;
  return random_() % count;
}

FaultEntry FaultDice::Draw(std::span<const FaultEntry> choices) {
  if (choices.empty() || !Hit()) return {};
  FaultEntry fault = choices[random_() % choices.size()];
  if (fault.kind == NetFault::kFlip || fault.kind == NetFault::kDropByte) fault.value = random_();
  return fault;
}

void DatagramQueue::TakeDue(uint32_t now_ms, std::vector<OutgoingDatagram>& out) {
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (Reached(it->due, now_ms)) {
      out.push_back(std::move(*it));
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<uint32_t> DatagramQueue::NextDue() const {
  if (queue_.empty()) return std::nullopt;
  uint32_t earliest = queue_.front().due;
  for (const OutgoingDatagram& datagram : queue_) {
    if (static_cast<int32_t>(datagram.due - earliest) < 0) earliest = datagram.due;
  }
  return earliest;
}

}  // namespace veritor::sim
