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

// The front end's hold on a long action: told how far the action got after
// each exchange, and asked whether the operator wants it stopped. An action
// stops only between exchanges, never in the middle of one.
class ActionControl {
 public:
  virtual ~ActionControl() = default;
  virtual void ReportProgress(const ActionProgress& progress) = 0;
  virtual bool StopRequested() = 0;
};

}  // namespace veritor
