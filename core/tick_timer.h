#pragma once

#include <cstdint>

#include "platform/tick_clock.h"

namespace veritor {

// A millisecond time-out: the start tick and the duration.
struct TickTimer {
  uint32_t start = 0;
  uint32_t duration = 0;
};

inline void StartTimer(TickTimer& timer, TickClock& clock, uint32_t ms) {
  timer.start = clock.GetTickCount();
  timer.duration = ms;
}

// False while fewer than duration ms have passed since the start (unsigned
// 32-bit difference, so the tick counter's wrap is harmless); otherwise clears
// the timer and returns true.
inline bool TimerExpired(TickTimer& timer, TickClock& clock) {
  if (static_cast<uint32_t>(clock.GetTickCount() - timer.start) < timer.duration) return false;
  timer = TickTimer{};
  return true;
}

}  // namespace veritor
