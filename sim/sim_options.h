#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device_model.h"
#include "sim/serial_device.h"

namespace veritor::sim {

inline constexpr const char* kSimUsage =
    "usage: veritor-sim [--link PATH] [--fault SPEC]... [--report-lines N] [--seed S]";

// The command line of veritor-sim.
struct SimOptions {
  std::string link;                   // symlink to the served pty, or ""
  std::vector<std::string> faults;    // --fault specs, in order
  std::optional<size_t> report_lines; // a generated Z report of N lines
  uint32_t seed = 1;                  // for "random:P"
  bool help = false;
};

// Fills `options` from the arguments (without the program name); returns
// the reason when they are not valid.
std::optional<std::string> ParseSimOptions(const std::vector<std::string>& args,
                                           SimOptions& options);

// Adds one fault spec to the device's plan or the model's queue:
//   enq-nak:N enq-can:N enq-silence:N pkt-nak:N pkt-can:N pkt-silence:N
//   reply-badsum:N reply-pause:MS[@K] reply-stray:HEX reply-long:N
//   reply-short[:N] reply-delay:MS busy:N offline:N random:P
// N (a count) may be left out for 1; a pause comes after K bytes (4 if left
// out). Returns false, changing nothing, when the description is not valid.
bool ApplyFaultSpec(const std::string& spec, uint32_t seed, SerialDevice& device,
                    DeviceModel& model);

}  // namespace veritor::sim
