#include "sim/net_common.h"

#include <algorithm>

namespace veritor::sim {

void FaultDice::Enable(uint32_t seed, double probability) {
  random_.seed(seed);
  probability_ = std::clamp(probability, 0.0, 1.0);
}

FaultEntry FaultDice::Next(std::deque<FaultEntry>& planned, std::span<const FaultEntry> choices) {
  if (!planned.empty()) {
    const FaultEntry fault = planned.front();
    planned.pop_front();
    return fault;
  }
  if (probability_ <= 0 || choices.empty()) return {};
  const bool hit = random_() < probability_ * static_cast<double>(std::mt19937::max()) || probability_ >= 1.0;
  if (!hit) return {};
  return choices[random_() % choices.size()];
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
