#pragma once

#include <string>
#include <vector>

namespace veritor {

// A serial device that exists on this machine.
struct SerialDeviceEntry {
  std::string path;   // /dev/ttyUSB0
  std::string by_id;  // its /dev/serial/by-id name, or empty
};

// The device path that COMn opens: $VERITOR_COM<n> when set and not empty,
// else /dev/ttyS<n-1>. Empty for n < 1.
std::string ComPortPath(int n);

// The serial devices present: /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*, by
// name in natural order (ttyS2 before ttyS10), each with its by-id name. A
// ttyS that the kernel lists without a UART behind it (type 0 in
// /sys/class/tty) is left out.
std::vector<SerialDeviceEntry> ListSerialDevices();

// The same under other folders, for tests.
std::vector<SerialDeviceEntry> ListSerialDevices(const std::string& dev_dir, const std::string& by_id_dir,
                                                 const std::string& sys_tty_dir);

}  // namespace veritor
