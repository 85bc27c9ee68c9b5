#include "session/console_links.h"

#include "net/ipv4_text.h"

namespace veritor {

ConsoleLinks::ConsoleLinks(Host& host, PortOpener& opener, Network& network, std::string output_directory)
    : host_(host),
      ports_(host, opener),
      z_report_(host.log, host.prompts, std::move(output_directory)),
      serial_(host, ports_, z_report_),
      net_(host, network),
      sdnp_(net_, record_),
      tcp_(net_),
      udp_(net_, record_),
      executor_(host, serial_) {
  executor_.SetNetworkLink(kLinkSdnp, &sdnp_);
  executor_.SetNetworkLink(kLinkTcp, &tcp_);
  executor_.SetNetworkLink(kLinkUdp, &udp_);
}

bool ConsoleLinks::OpenNetworkLink(int link, const std::string& address_text) {
  // Text that names no address is refused before any socket opens: read by
  // inet_addr it would have become 255.255.255.255, every device.
  const std::optional<Ipv4Address> address = ParseIpv4(address_text);
  if (address_text.find_first_not_of(" \t") == std::string::npos) {
    host_.log.LogMessage("No device address given; nothing sent");
    host_.prompts.ErrorBox("Net device connection error");
    return false;
  }
  if (!address) {
    host_.log.LogMessage("'%s' is not an IPv4 address; nothing sent", address_text.c_str());
    host_.prompts.ErrorBox("Net device connection error");
    return false;
  }
  if (const std::string why = net_.WhyNotADevice(*address); !why.empty()) {
    const char* prefix = link == kLinkSdnp ? "SDNP" : link == kLinkTcp ? "TCP" : "UDP";
    host_.log.LogMessage("%s: %s is %s; nothing sent", prefix, FormatIpv4(*address).c_str(), why.c_str());
    host_.prompts.ErrorBox("Net device connection error");
    return false;
  }
  if (link == kLinkSdnp && sdnp_.SdnpInit() != kResultOk) {
    host_.prompts.ErrorBox("SDNP protocol init failed");
    return false;
  }
  record_ = SdnpLink{};
  host_.log.LogMessage("init connection with %s", FormatIpv4(*address).c_str());
  int result = kResultOk;
  if (link == kLinkSdnp) result = sdnp_.SdnpConnect(record_, *address, true);
  if (link == kLinkTcp) result = tcp_.TcpConnect(record_, *address, true);
  if (link == kLinkUdp) result = udp_.UdpConnect(record_, *address, true);
  if (result != kResultOk) {
    host_.prompts.ErrorBox("Net device connection error");
    return false;
  }
  return true;
}

ConsoleLinks::ConnectOutcome ConsoleLinks::Connect(int link, unsigned long speed, const std::string& address,
                                                   bool verbose) {
  ConnectOutcome outcome;
  host_.state.ActiveLink = link;
  if (IsNetworkLink(link)) {
    if (!OpenNetworkLink(link, address)) return outcome;
  } else if (ports_.OpenPort(link, speed, 'N', 8, 1) == 0) {
    host_.prompts.ErrorBox("Cannot open port COM" + std::to_string(link) + "...");
    host_.log.LogMessage("Failed opening COM%d port...", link);
    return outcome;
  } else {
    host_.log.LogMessage("Opened port COM%d, %lu, Parity NONE, Data 8, Stop 1", link, speed);
  }
  host_.log.LogMessage("Reading device info");
  outcome.result = executor_.ExecuteCommand("v", outcome.device_info, verbose);
  if (outcome.result != kResultOk) {
    host_.log.LogMessage("Fatal device comm error");
    if (!IsNetworkLink(link)) ports_.ClosePort(link);
    return outcome;
  }
  host_.log.LogDevice("Device info: [%s]", outcome.device_info.c_str());
  outcome.connected = true;
  host_.state.Connected = true;
  return outcome;
}

void ConsoleLinks::Disconnect() {
  const int link = host_.state.ActiveLink;
  if (IsNetworkLink(link)) {
    if (link == kLinkSdnp) sdnp_.SdnpClose();
    if (link == kLinkTcp) tcp_.TcpClose();
    if (link == kLinkUdp) udp_.UdpClose();
    host_.log.LogMessage("Closed network services");
  } else {
    ports_.ClosePort(link);
    host_.log.LogMessage("Closed port COM%d", link);
  }
  host_.state.Connected = false;
}

void ConsoleLinks::CloseAll() {
  const int link = host_.state.ActiveLink;
  if (host_.state.Connected && IsNetworkLink(link))
    net_.CloseNetSocket();
  else
    ports_.ClosePort(link);
}

bool ConsoleLinks::DetectNetworkDevices(std::vector<Ipv4Address>& devices) {
  host_.log.LogMessage("Querying network devices:");
  if (sdnp_.SdnpDetect(devices) != kResultOk) {
    host_.log.LogMessage("Net devices detection failed");
    return false;
  }
  for (Ipv4Address device : devices) host_.log.LogMessage("- Detected ip %s", FormatIpv4(device).c_str());
  host_.log.LogMessage("%u devices responded", static_cast<unsigned>(devices.size()));
  host_.state.Connected = false;
  return true;
}

}  // namespace veritor
