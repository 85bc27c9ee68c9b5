#include "platform/poll_pump.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

namespace veritor {
namespace {

using Clock = std::chrono::steady_clock;

// A hung-up or closed descriptor also reports POLLIN, for ever. Counting it
// as input would end every turn at once and spin the core for the whole of
// the protocol's time-out, so only input on a live descriptor ends a turn early.
bool HasLiveInput(const std::vector<pollfd>& fds) {
  return std::any_of(fds.begin(), fds.end(), [](const pollfd& p) {
    return (p.revents & (POLLIN | POLLPRI)) != 0 &&
           (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
  });
}

void SleepUntil(Clock::time_point deadline) {
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    poll(nullptr, 0, static_cast<int>(left.count()));
  }
}

}  // namespace

void PollPump::PumpOneMessage() {
  const auto turn = std::chrono::milliseconds(turn_ms_);
  const auto end_of_turn = Clock::now() + turn;
  if (!watched_.empty()) {
    std::vector<pollfd> fds;
    fds.reserve(watched_.size());
    for (int fd : watched_) fds.push_back(pollfd{fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), static_cast<int>(turn.count())) > 0 && HasLiveInput(fds)) {
      return;
    }
  }
  SleepUntil(end_of_turn);
}

void PollPump::WatchInput(int fd) {
  if (fd < 0) return;
  if (std::find(watched_.begin(), watched_.end(), fd) == watched_.end()) watched_.push_back(fd);
}

void PollPump::UnwatchInput(int fd) {
  watched_.erase(std::remove(watched_.begin(), watched_.end(), fd), watched_.end());
}

}  // namespace veritor
