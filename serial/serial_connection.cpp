#include "serial/serial_connection.h"

namespace veritor {

SerialConnectResult ConnectSerialPort(Host& host, SerialPorts& ports, CommandExecutor& executor, int port,
                                      unsigned long speed, bool verbose) {
  SerialConnectResult outcome;
  host.state.ActiveLink = port;
  if (ports.OpenPort(port, speed, 'N', 8, 1) == 0) {
    host.prompts.ErrorBox("Cannot open port COM" + std::to_string(port) + "...");
    host.log.LogMessage("Failed opening COM%u port...", port);
    return outcome;
  }
  host.log.LogMessage("Opened port COM%u, %lu, Parity NONE, Data 8, Stop 1", port, speed);
  host.log.LogMessage("Reading device info");
  outcome.result = executor.ExecuteCommand("v", outcome.device_info, verbose);
  if (outcome.result != kResultOk) {
    host.log.LogMessage("Fatal device comm error");
    ports.ClosePort(port);
    return outcome;
  }
  host.log.LogMessage("Device info: [%s]", outcome.device_info.c_str());
  outcome.connected = true;
  host.state.Connected = true;
  return outcome;
}

void DisconnectSerialPort(Host& host, SerialPorts& ports, int port) {
  ports.ClosePort(port);
  host.log.LogMessage("Closed port COM%u", port);
  host.state.Connected = false;
}

}  // namespace veritor
