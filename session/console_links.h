#pragma once

#include <string>
#include <vector>

#include "core/command.h"
#include "core/host.h"
#include "net/net_links.h"
#include "net/sdnp_session.h"
#include "net/tcp_link.h"
#include "net/udp_link.h"
#include "serial/serial_link.h"
#include "serial/serial_ports.h"
#include "serial/z_report.h"

namespace veritor {

// The speeds the console offers for a serial port.
inline constexpr unsigned long kSerialSpeeds[] = {9600, 19200, 38400, 57600, 115200, 126000};

// Every link the console can open, the command execution over them, and
// the console's Connect, Disconnect and device detection, which the window
// and the command-line front end share.
class ConsoleLinks {
 public:
  ConsoleLinks(Host& host, PortOpener& opener, Network& network, std::string output_directory);

  struct ConnectOutcome {
    bool connected = false;
    int result = kResultOk;   // of the "v" request
    std::string device_info;  // its reply data
  };

  // ActiveLink becomes `link` (1 to 12 a serial port, 13 SDNP, 14 TCP, 15 UDP);
  // the link opens (a serial port at `speed`, 8N1; a network link to the
  // device at `address`) and the device is asked for its information ("v").
  // A link that does not open raises an error box; when the device does not
  // answer, a serial port is closed again, a network socket stays open.
  ConnectOutcome Connect(int link, unsigned long speed, const std::string& address, bool verbose);
  // Closes the link of ActiveLink and says so.
  void Disconnect();
  // Closes whatever link is open, as the console does when it ends.
  void CloseAll();
  // SDNP broadcast detection with the console's log lines; false when it failed.
  bool DetectNetworkDevices(std::vector<Ipv4Address>& devices);

  CommandExecutor& executor() { return executor_; }
  SerialPorts& ports() { return ports_; }
  ZReportFiles& z_report() { return z_report_; }
  NetLinks& net() { return net_; }
  TcpLink& tcp() { return tcp_; }
  // The conversation with the network device of the open link.
  const SdnpLink& record() const { return record_; }

 private:
  bool OpenNetworkLink(int link, const std::string& address);

  Host& host_;
  SerialPorts ports_;
  ZReportFiles z_report_;
  SerialLink serial_;
  NetLinks net_;
  SdnpLink record_;
  SdnpSession sdnp_;
  TcpLink tcp_;
  UdpLink udp_;
  CommandExecutor executor_;
};

}  // namespace veritor
