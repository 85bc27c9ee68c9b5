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
  TickClock& clock;
  MessagePump& pump;
  MessageLog& log;
  DisplayFields& display;
  Prompts& prompts;
  ConsoleState& state;
  // The front end's hold on long actions; none when it has no Stop.
  ActionControl* control = nullptr;

  bool StopRequested() const { return control != nullptr && control->StopRequested(); }
  void ReportProgress(const ActionProgress& progress) const {
    if (control != nullptr) control->ReportProgress(progress);
  }
};

}  // namespace veritor
