#pragma once

#include <cstdint>

namespace veritor {

// Milliseconds since an arbitrary start as an unsigned 32-bit count. It wraps
// after 2^32 ms; every user measures time by unsigned difference, so the wrap
// does no harm.
class TickClock {
 public:
  virtual ~TickClock() = default;
  virtual uint32_t GetTickCount() = 0;
};

// The machine's monotonic clock.
class SteadyTickClock final : public TickClock {
 public:
  uint32_t GetTickCount() override;
};

// A clock that moves only when told to, so that protocol time-outs of seconds
// cost no real time in tests and simulations.
class VirtualTickClock final : public TickClock {
 public:
  explicit VirtualTickClock(uint32_t start = 0) : now_(start) {}
  uint32_t GetTickCount() override { return now_; }
  void Advance(uint32_t ms) { now_ += ms; }

 private:
  uint32_t now_;
};

}  // namespace veritor
