#pragma once

#include <string>
#include <vector>

namespace veritor {

// A serial device node and the stable names that point at it.
struct SerialDeviceEntry {
  std::string path;                  // "/dev/ttyUSB0"
  std::vector<std::string> by_id;    // "/dev/serial/by-id/usb-...-if00-port0"
};

// The serial devices that exist under `dev` (ttyS*, ttyUSB*, ttyACM*), in
// the order of their kind and number (ttyS2 before ttyS10), each with the
// names in `dev`/serial/by-id that lead to it. A ttyS that the kernel keeps
// without a UART behind it (type 0 in `sys_tty`) is left out.
std::vector<SerialDeviceEntry> ListSerialDevices(const std::string& dev = "/dev",
                                                 const std::string& sys_tty = "/sys/class/tty");

// The device path that COMn opens: $VERITOR_COM<n> when set and not empty,
// else /dev/ttyS<n-1>. Empty for n < 1.
std::string ComPortPath(int n);

// COMn as the console opens it.
struct ComPortEntry {
  unsigned number = 0;
  std::string path;            // SerialDevicePath(number)
  bool from_environment = false;  // VERITOR_COM<n> names it
  bool exists = false;
};

// COM1 to COM<count>, each with the path it opens.
std::vector<ComPortEntry> ListComPorts(unsigned count);

}  // namespace veritor
