#include "net/udp_link.h"

#include "net/ipv4_text.h"
#include "net/net_constants.h"
#include "net/socket_errors.h"
#include "serial/packet.h"

namespace veritor {

namespace {

constexpr int kSyncTries = 8;
constexpr int kRequestAttempts = 6;
constexpr uint32_t kSyncWaitMs = 400;
constexpr uint32_t kResponseWaitMs = 2000;
constexpr uint32_t kIdleMs = 1000;
// The shortest reply packet: STX, "/", two digits, ETX.
constexpr size_t kMinPacket = 5;
constexpr int kMaxDiscardsPerStep = 64;

}  // namespace

int UdpLink::Transact(const std::string& request, std::string& reply, bool) {
  TransactionGuard in_progress(host_.state);
  return UdpRequest(record_, request, reply);
}

int UdpLink::UdpInit(Ipv4Address device) {
  if (links_.OpenDeviceSocket("UDP", device, kUdpPort)) {
    UdpClose();
    return kResultSocketFailed;
  }
  socket_device_ = device;
  links_.NetInitialized = false;
  host_.log.LogMessage("UDP: protocol init ok");
  links_.UdpInitialized = true;
  return kResultOk;
}

void UdpLink::UdpClose() {
  links_.CloseNetSocket();
  links_.UdpInitialized = false;
  links_.NetInitialized = false;
}

int UdpLink::UdpConnect(SdnpLink& link, Ipv4Address device, bool) {
  if (const char* why = WhyNotADeviceAddress(device)) {
    host_.log.LogMessage("UDP: %s is %s; nothing sent", FormatIpv4(device).c_str(), why);
    return kResultSocketFailed;
  }
  // Another link's socket (a detection's, say) is no socket for this one,
  // nor one bound for another device.
  const bool ready = links_.UdpInitialized && links_.datagram() != nullptr && socket_device_ == device;
  if (!ready) {
    if (const int result = UdpInit(device)) return result;
  }
  link.device_ip = device;
  link.synced = false;
  owed_answers_ = 0;
  return kResultOk;
}

int UdpLink::UdpSend(SdnpLink& link, int kind, const std::string& request) {
  const std::string datagram = kind == kReplyPacket ? BuildPacket(request) : std::string(1, static_cast<char>(kind));
  DatagramSocket* socket = links_.datagram();
  size_t sent = 0;
  const int error =
      socket ? socket->SendTo(link.device_ip, kUdpPort, datagram.data(), datagram.size(), sent) : kErrorNotSocket;
  if (error != 0 || sent != datagram.size()) {
    ReportSocketError(host_.log, "UDP: send failed", error);
    return kResultSocketFailed;
  }
  return kResultOk;
}

int UdpLink::UdpReceive(SdnpLink& link, bool& taken) {
  taken = false;
  DatagramSocket* socket = links_.datagram();
  for (int discarded = 0; discarded < kMaxDiscardsPerStep; ++discarded) {
    bool pending = false;
    size_t size = 0;
    const int error = socket ? socket->NextDatagram(pending, size) : kErrorNotSocket;
    if (error != 0) {
      ReportSocketError(host_.log, "UDP: ioctl failed", error);
      return kResultSocketFailed;
    }
    if (!pending) return kResultOk;
    size_t length = 0;
    Ipv4Address sender = 0;
    if (const int receive_error = socket->ReceiveFrom(rx_.data(), rx_.size(), length, sender)) {
      ReportSocketError(host_.log, "UDP: receive failed", receive_error);
      return kResultSocketFailed;
    }
    if (link.device_ip != kBroadcastAddress && sender != link.device_ip) {
      host_.log.LogMessage("UDP: discarded; ip mismatch");
      continue;
    }
    // Datagrams that cannot be a control byte or a whole reply packet are
    // dropped whole, never taken in part.
    if (length > rx_.size() || (length != 1 && length < kMinPacket)) {
      host_.log.LogMessage("UDP: discarded, datagram size invalid (%u)", static_cast<unsigned>(length));
      continue;
    }
    link.peer_ip = sender;
    rx_length_ = length;
    rx_kind_ = length == 1 ? rx_[0] : kReplyPacket;
    taken = true;
    return kResultOk;
  }
  return kResultOk;
}

bool UdpLink::UdpReplyChecksumOk() const {
  const size_t n = rx_length_;
  if (n < kMinPacket || rx_[0] != kStx || rx_[n - 1] != kEtx) return false;
  std::string text;
  return SplitCheckedBody(std::string_view(reinterpret_cast<const char*>(rx_.data()) + 1, n - 2), text);
}

// Pumps only once what is pending has been taken in (or after a good many
// datagrams), so that a flood of stray datagrams cannot bury the answer.
int UdpLink::WaitTurn(SdnpLink& link, bool& taken) {
  if (taken_since_pump_ == 0 || taken_since_pump_ >= kMaxDiscardsPerStep) {
    host_.pump.PumpOneMessage();
    taken_since_pump_ = 0;
  }
  if (const int result = UdpReceive(link, taken)) return result;
  taken_since_pump_ = taken ? taken_since_pump_ + 1 : 0;
  return kResultOk;
}

int UdpLink::UdpSync(SdnpLink& link) {
  link.fsn = link.fsn == 0 ? links_.Random() : static_cast<uint16_t>(link.fsn + 8);
  for (int attempt = 0; attempt < kSyncTries; ++attempt) {
    if (UdpSend(link, kUdpEnq)) return kResultSocketFailed;
    TickTimer timer;
    StartTimer(timer, host_.clock, kSyncWaitMs);
    while (!TimerExpired(timer, host_.clock)) {
      bool taken = false;
      if (WaitTurn(link, taken)) return kResultSocketFailed;
      if (!taken) continue;
      if (rx_kind_ != kUdpAck) {
        host_.log.LogMessage("UDP: sync response ignored (opcode)");
        continue;
      }
      ++link.fsn;
      link.synced = true;
      StartTimer(link.idle_timer, host_.clock, kIdleMs);
      return kResultOk;
    }
    host_.log.LogMessage("UDP: sync timeout");
  }
  host_.log.LogMessage("UDP: sync failed");
  return kResultNoAnswer;
}

int UdpLink::AwaitReply(SdnpLink& link, std::string& reply, Outcome& outcome) {
  outcome = Outcome::kTimeout;
  TickTimer response;
  StartTimer(response, host_.clock, kResponseWaitMs);
  while (!TimerExpired(response, host_.clock)) {
    bool taken = false;
    if (WaitTurn(link, taken)) return kResultSocketFailed;
    if (!taken) continue;
    if (rx_kind_ == kUdpAck) continue;
    if (rx_kind_ == kUdpResync) {
      link.synced = false;
      if (host_.state.VerboseFlag) host_.log.LogMessage("SDNP: resyncronize request");
      outcome = Outcome::kResync;
      return kResultOk;
    }
    if (rx_kind_ == kUdpNak) {
      // The device refused the packet: it goes again at once.
      outcome = Outcome::kResend;
      return kResultOk;
    }
    if (rx_kind_ != kReplyPacket) {
      host_.log.LogMessage("UDP: invalid response to request; restarting");
      continue;
    }
    if (!UdpReplyChecksumOk()) {
      host_.log.LogMessage("UDP: data checksum error");
      if (UdpSend(link, kUdpNak)) return kResultSocketFailed;
      continue;
    }
    UdpSend(link, kUdpAck);
    reply.assign(reinterpret_cast<const char*>(rx_.data()) + 1, rx_length_ - kMinPacket);
    StartTimer(link.idle_timer, host_.clock, 0);
    ++link.fsn;
    outcome = Outcome::kReply;
    return kResultOk;
  }
  return kResultOk;
}

// Whatever waits before a request packet goes out answers an earlier one.
int UdpLink::DiscardWaiting(SdnpLink& link) {
  unsigned dropped = 0;
  for (int read = 0; read < kMaxDiscardsPerStep; ++read) {
    bool taken = false;
    if (UdpReceive(link, taken)) return kResultSocketFailed;
    if (!taken) break;
    ++dropped;
  }
  if (dropped > 0) host_.log.LogMessage("UDP: %u datagrams that came before the request dropped", dropped);
  return kResultOk;
}

// A sending that timed out may still be answered; such an answer carries
// nothing that tells it from the next request's reply, so it is awaited (up
// to one attempt's time after the last sending) and dropped first.
int UdpLink::AwaitOwedAnswers(SdnpLink& link) {
  while (owed_answers_ > 0 && !TimerExpired(owed_until_, host_.clock)) {
    bool taken = false;
    if (WaitTurn(link, taken)) return kResultSocketFailed;
    if (!taken || rx_kind_ != kReplyPacket) continue;
    --owed_answers_;
    host_.log.LogMessage("UDP: late answer to an earlier sending of the last request dropped");
  }
  owed_answers_ = 0;
  return kResultOk;
}

int UdpLink::UdpRequest(SdnpLink& link, const std::string& request, std::string& reply) {
  if (host_.state.VerboseFlag) host_.log.LogDevice("Sending '%s'", ShownRequest(request).c_str());
  if (!links_.UdpInitialized) {
    if (const int result = UdpInit(link.device_ip)) return result;
  }
  if (AwaitOwedAnswers(link)) return kResultSocketFailed;
  if (DiscardWaiting(link)) return kResultSocketFailed;
  int attempts = 0;
  unsigned restarts = 0;
  bool sync_first = true;
  while (true) {
    if (sync_first) {
      if (attempts == kRequestAttempts) {
        host_.log.LogMessage("UDP: request failed");
        link.synced = false;
        return kResultNoAnswer;
      }
      if (!link.synced || TimerExpired(link.idle_timer, host_.clock)) {
        if (const int result = UdpSync(link)) return result;
        if (DiscardWaiting(link)) return kResultSocketFailed;
      }
    }
    if (UdpSend(link, kReplyPacket, request)) return kResultSocketFailed;
    StartTimer(link.idle_timer, host_.clock, kIdleMs);
    StartTimer(owed_until_, host_.clock, kResponseWaitMs);
    Outcome outcome;
    if (AwaitReply(link, reply, outcome)) return kResultSocketFailed;
    switch (outcome) {
      case Outcome::kReply:
        return kResultOk;
      case Outcome::kResend:
      case Outcome::kResync:
        if (++restarts > kMaxRequestRestarts) {
          host_.log.LogMessage("UDP: request failed; the device refused it %u times (NAK or resync)", restarts);
          link.synced = false;
          return kResultNoAnswer;
        }
        if (outcome == Outcome::kResend) host_.log.LogMessage("SDNP: request nak'ed; resending");
        sync_first = outcome == Outcome::kResync;
        break;
      case Outcome::kTimeout:
        owed_answers_ = static_cast<unsigned>(++attempts);
        host_.log.LogMessage("UDP: request timeout");
        sync_first = true;
        break;
    }
  }
}

}  // namespace veritor
