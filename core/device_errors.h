#pragma once

#include <cstdint>

#include "platform/ui.h"

namespace veritor {

struct DeviceErrorRow {
  const char* mnemonic;
  const char* description;
  const char* action;
};

// Rows 0 to 37 belong to the codes 0x00 to 0x25, row 38 to code 0x80.
inline constexpr int kDeviceErrorRows = 39;
extern const DeviceErrorRow DeviceErrorTable[kDeviceErrorRows];

// The row of a device error code, or null for a code without one (0x26 to
// 0x7F and 0x81 to 0xFF).
const DeviceErrorRow* FindDeviceError(int code);

// Rewrites the sixteen status-bit fields 1010 to 1025.
void ShowStatusBits(DisplayFields& display, int device_status_bits, int function_status_bits);

}  // namespace veritor
