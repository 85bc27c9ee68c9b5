#include "console/raw_send.h"

#include <cctype>

#include "core/tick_timer.h"
#include "net/net_constants.h"
#include "net/sdnp_frame.h"

namespace veritor {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What came back on the open link until the time is up; read to be shown,
// then dropped.
size_t Listen(Host& host, ConsoleLinks& links, int link, uint32_t listen_ms) {
  TickTimer listening;
  StartTimer(listening, host.clock, listen_ms);
  size_t received = 0;
  std::string buffer(kSdnpMaxFrame + 64, '\0');
  while (!TimerExpired(listening, host.clock)) {
    if (!IsNetworkLink(link)) {
      while (links.ports().InputCount(link) != 0) {
        links.ports().ReadPortByte(link);
        ++received;
      }
    } else if (DatagramSocket* socket = links.net().datagram()) {
      bool pending = false;
      size_t size = 0;
      while (socket->NextDatagram(pending, size) == 0 && pending) {
        size_t length = 0;
        Ipv4Address sender = 0;
        if (socket->ReceiveFrom(buffer.data(), buffer.size(), length, sender) != 0) break;
        received += length;
      }
    } else if (StreamSocket* stream = links.net().stream()) {
      size_t count = 0;
      while (stream->Pending(count) == 0 && count > 0) {
        size_t length = 0;
        if (stream->Receive(buffer.data(), buffer.size(), length) != 0 || length == 0) break;
        received += length;
      }
    }
    host.pump.PumpOneMessage();
  }
  return received;
}

}  // namespace

std::optional<std::string> ParseHexBytes(std::string_view text) {
  std::string bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (high >= 0) return std::nullopt;  // half a byte
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes += static_cast<char>(high * 16 + digit);
      high = -1;
    }
  }
  if (high >= 0 || bytes.empty()) return std::nullopt;
  return bytes;
}

RawSendOutcome SendRawBytes(Host& host, ConsoleLinks& links, const std::string& bytes, uint32_t listen_ms) {
  RawSendOutcome outcome;
  const int link = host.state.ActiveLink;
  TransactionGuard in_progress(host.state);
  if (!IsNetworkLink(link)) {
    for (char byte : bytes) links.ports().WritePortByte(link, static_cast<uint8_t>(byte));
    outcome.sent = true;
  } else if (DatagramSocket* socket = links.net().datagram()) {
    size_t sent = 0;
    const uint16_t port = link == kLinkUdp ? kUdpPort : kSdnpPort;
    const int error = socket->SendTo(links.record().device_ip, port, bytes.data(), bytes.size(), sent);
    outcome.sent = error == 0 && sent == bytes.size();
    if (!outcome.sent) outcome.error = "the datagram was not sent (error " + std::to_string(error) + ")";
  } else if (StreamSocket* stream = links.net().stream()) {
    size_t sent = 0;
    const int error = stream->Send(bytes.data(), bytes.size(), sent);
    outcome.sent = error == 0 && sent == bytes.size();
    if (!outcome.sent)
      outcome.error = std::to_string(sent) + " of " + std::to_string(bytes.size()) + " bytes sent (error " +
                      std::to_string(error) + ")";
  } else {
    outcome.error = "no link is open";
    return outcome;
  }
  outcome.received = Listen(host, links, link, listen_ms);
  return outcome;
}

}  // namespace veritor
