#pragma once

#include "core/action_control.h"
#include "core/console_state.h"
#include "core/log.h"
#include "platform/message_pump.h"
#include "platform/tick_clock.h"
#include "platform/ui.h"

namespace veritor {

// What the protocol code needs of its surroundings: all of it injectable, so
// tests run it on a virtual clock against the in-process simulated device.
struct Host {
  // How long a stop leaves the exchange in flight to end by itself.
  static constexpr uint32_t kStopGraceMs = 500;

  TickClock& clock;
  MessagePump& pump;
  MessageLog& log;
  DisplayFields& display;
  Prompts& prompts;
  ConsoleState& state;
  // The front end's hold on long actions; none when it has no Stop.
  ActionControl* control = nullptr;

  bool StopRequested() const { return control != nullptr && control->StopRequested(); }
  // Asked by the waits inside one exchange: true once a stop has been pending
  // for kStopGraceMs. The exchange in flight may end on its own first (a
  // long action then stops between exchanges, as usual); a device that never
  // ends it does not hold the stop any longer than that.
  bool StopEndsExchange() const {
    if (!StopRequested()) {
      stop_seen_ = false;
      return false;
    }
    if (!stop_seen_) {
      stop_seen_ = true;
      stop_seen_at_ = clock.GetTickCount();
    }
    return static_cast<uint32_t>(clock.GetTickCount() - stop_seen_at_) >= kStopGraceMs;
  }
  void ReportProgress(const ActionProgress& progress) const {
    if (control != nullptr) control->ReportProgress(progress);
  }

  mutable bool stop_seen_ = false;  // StopEndsExchange: since when the stop is pending
  mutable uint32_t stop_seen_at_ = 0;
};

}  // namespace veritor
