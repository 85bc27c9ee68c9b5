#pragma once

#include <string>

#include "core/command.h"
#include "core/host.h"
#include "serial/serial_ports.h"

namespace veritor {

// The speeds the console offers for a serial port.
inline constexpr unsigned long kSerialSpeeds[] = {9600, 19200, 38400, 57600, 115200, 126000};

struct SerialConnectResult {
  bool connected = false;
  int result = kResultOk;   // of the "v" request; kResultOk when the port did not open
  std::string device_info;  // the reply data of "v"
};

// Connect on a serial port: ActiveLink becomes the port, the port opens at
// `speed`, 8N1, and the device is asked for its device information ("v").
// A port that does not open raises an error box; a device that does not
// answer leaves the port closed.
SerialConnectResult ConnectSerialPort(Host& host, SerialPorts& ports, CommandExecutor& executor, int port,
                                      unsigned long speed, bool verbose);

// Disconnect: closes the port and says so.
void DisconnectSerialPort(Host& host, SerialPorts& ports, int port);

}  // namespace veritor
