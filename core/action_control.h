#pragma once

#include <cstdint>

namespace veritor {

// Where a long action (a batch, a signing run, a bitmap upload) stands after
// an exchange. Totals are 0 when they cannot be known beforehand.
struct ActionProgress {
  const char* unit = "";  // what `done` counts: "lines", "blocks", "rows"
  uint64_t done = 0;
  uint64_t total = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_total = 0;
};

// The front end's hold on the device work: told how far a long action got
// after each exchange, and asked whether the operator wants the work stopped.
//
// StopRequested is asked between the exchanges of a long action (which then
// ends with kStopped), and also within a single exchange: ExecuteCommand
// does not start a request while it is true and ends the BUSY/PRINTEROFFLINE
// repeat at its next turn; the TCP connect ends its wait at once; the serial
// link's waits for the device (enquiry, acknowledgement, reply phase) end
// once the stop has been pending for Host::kStopGraceMs, so that an exchange
// in flight usually ends on its own. A stopped exchange returns
// kResultStopped (core/results.h) after a log line that says what the device
// may hold. It is asked on every turn of a wait, so it must be cheap. A front
// end sets Host::control for plain exchanges too (a signal, Esc, Stop), and
// makes StopRequested false again once the operator's next work begins.
class ActionControl {
 public:
  virtual ~ActionControl() = default;
  virtual void ReportProgress(const ActionProgress& progress) = 0;
  virtual bool StopRequested() = 0;
};

}  // namespace veritor
