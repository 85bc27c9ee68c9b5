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
// names in `dev`/serial/by-id that lead to it.
std::vector<SerialDeviceEntry> ListSerialDevices(const std::string& dev = "/dev");

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
