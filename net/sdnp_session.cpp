#include "net/sdnp_session.h"

#include <algorithm>
#include <cstring>

#include "net/ipv4_text.h"
#include "net/socket_errors.h"

namespace veritor {

namespace {

constexpr int kQueryTries = 8;
constexpr int kSyncTries = 8;
constexpr int kRequestAttempts = 6;
constexpr uint32_t kQueryWaitMs = 500;
constexpr uint32_t kSyncWaitMs = 400;
constexpr uint32_t kResponseWaitMs = 1000;
constexpr uint32_t kIdleLimitMs = 4000;
constexpr size_t kShownPayload = 120;
// Invalid datagrams one receive step consumes at most, so that a flood of
// them cannot hold a wait loop past its timer.
constexpr int kMaxDiscardsPerStep = 64;

}  // namespace

int SdnpSession::Transact(const std::string& request, std::string& reply, bool) {
  TransactionGuard in_progress(host_.state);
  return SdnpRequest(record_, request, reply);
}

int SdnpSession::SdnpInit() {
  if (SocketReady()) {
    host_.log.LogMessage("SDNP: already initialized");
    return kResultOk;
  }
  if (links_.OpenBroadcastSocket("SDNP", 0)) {
    SdnpClose();
    return kResultSocketFailed;
  }
  host_.log.LogMessage("SDNP: protocol init ok");
  links_.NetInitialized = true;
  links_.UdpInitialized = false;
  return kResultOk;
}

void SdnpSession::SdnpClose() {
  links_.CloseNetSocket();
  links_.NetInitialized = false;
  links_.UdpInitialized = false;
}

// The flag alone is not enough: a TCP connection sets it too.
bool SdnpSession::SocketReady() { return links_.NetInitialized && links_.datagram() != nullptr; }

int SdnpSession::InitIfNeeded() { return SocketReady() ? kResultOk : SdnpInit(); }

int SdnpSession::SdnpConnect(SdnpLink& link, Ipv4Address device, bool query) {
  TransactionGuard in_progress(host_.state);
  if (const int result = InitIfNeeded()) return result;
  link.device_ip = device;
  if (query) {
    if (const int result = SdnpQuery(link)) return result;
  }
  link.synced = false;
  return kResultOk;
}

int SdnpSession::SdnpSend(SdnpLink& link, uint8_t opcode, uint8_t reserved, uint16_t fsn, uint16_t length) {
  const std::string_view payload(reinterpret_cast<const char*>(link.tx.data()) + kSdnpHeaderSize, length);
  std::string frame = BuildSdnpFrame(kSdnpConsoleId, fsn, opcode, payload);
  frame[5] = static_cast<char>(reserved);
  std::memcpy(link.tx.data(), frame.data(), kSdnpHeaderSize);
  SdnpLogFrame(link.tx.data(), false, link.device_ip);
  DatagramSocket* socket = links_.datagram();
  size_t sent = 0;
  const int error = socket ? socket->SendTo(link.device_ip, kSdnpPort, frame.data(), frame.size(), sent) : kErrorNotSocket;
  if (error != 0 || sent != frame.size()) {
    ReportSocketError(host_.log, "SDNP: send failed", error);
    return kResultSocketFailed;
  }
  return kResultOk;
}

bool SdnpSession::FrameIsValid(SdnpLink& link, size_t size, Ipv4Address sender) {
  if (link.device_ip != kBroadcastAddress && sender != link.device_ip) {
    host_.log.LogMessage("SDNP: discarded; ip mismatch");
    return false;
  }
  link.peer_ip = sender;
  const SdnpHeader header = ReadSdnpHeader(link.rx.data());
  const uint16_t computed = SdnpChecksum(link.rx.data(), 10);
  if (header.header_checksum != computed) {
    host_.log.LogMessage("SDNP: checksum 0x%04X bad (expected 0x%04X)", header.header_checksum, computed);
    return false;
  }
  if (size != header.length + kSdnpHeaderSize) {
    host_.log.LogMessage("SDNP: bad data length %u (expected %u)", header.length,
                         static_cast<unsigned>(size - kSdnpHeaderSize));
    return false;
  }
  if (header.id != kSdnpDeviceId) {
    host_.log.LogMessage("SDNP: invalid 'id' 0x%04X (expected 0x%04X)", header.id, kSdnpDeviceId);
    return false;
  }
  return true;
}

int SdnpSession::ReceiveOne(SdnpLink& link, Intake& intake) {
  intake = Intake::kNone;
  DatagramSocket* socket = links_.datagram();
  bool pending = false;
  size_t size = 0;
  const int error = socket ? socket->NextDatagram(pending, size) : kErrorNotSocket;
  if (error != 0) {
    ReportSocketError(host_.log, "SDNP: ioctl failed", error);
    return kResultSocketFailed;
  }
  if (!pending) return kResultOk;
  size_t length = 0;
  Ipv4Address sender = 0;
  intake = Intake::kDiscarded;
  if (size < kSdnpHeaderSize || size > kSdnpMaxFrame) {
    socket->ReceiveFrom(link.rx.data(), link.rx.size(), length, sender);
    if (size < kSdnpHeaderSize)
      host_.log.LogMessage("SDNP: discarded, frame too small (%u)", static_cast<unsigned>(size));
    else
      host_.log.LogMessage("SDNP: discarded, frame size invalid (%u)", static_cast<unsigned>(size));
    return kResultOk;
  }
  if (const int receive_error = socket->ReceiveFrom(link.rx.data(), link.rx.size(), length, sender)) {
    ReportSocketError(host_.log, "SDNP: receive failed", receive_error);
    return kResultSocketFailed;
  }
  // The datagram may have been another than the one measured.
  if (length < kSdnpHeaderSize || length > kSdnpMaxFrame) return kResultOk;
  if (!FrameIsValid(link, length, sender)) return kResultOk;
  link.rx_size = length;
  intake = Intake::kFrame;
  SdnpLogFrame(link.rx.data(), true, link.peer_ip);
  return kResultOk;
}

int SdnpSession::SdnpReceive(SdnpLink& link, bool& taken) {
  taken = false;
  for (int discarded = 0; discarded < kMaxDiscardsPerStep; ++discarded) {
    Intake intake;
    if (const int result = ReceiveOne(link, intake)) return result;
    if (intake == Intake::kNone) return kResultOk;
    if (intake == Intake::kFrame) {
      taken = true;
      return kResultOk;
    }
  }
  return kResultOk;
}

bool SdnpSession::SdnpDataChecksumOk(const uint8_t* frame) {
  const SdnpHeader header = ReadSdnpHeader(frame);
  return header.length == 0 || SdnpChecksum(frame + kSdnpHeaderSize, header.length) == header.data_checksum;
}

void SdnpSession::SdnpLogFrame(const uint8_t* frame, bool incoming, Ipv4Address peer) {
  if (!Verbose()) return;
  const SdnpHeader header = ReadSdnpHeader(frame);
  const size_t length = std::min<size_t>(header.length, kSdnpMaxPayload);
  std::string shown(reinterpret_cast<const char*>(frame) + kSdnpHeaderSize, std::min(length, kShownPayload));
  if (length > kShownPayload) shown += "...";
  shown = shown.substr(0, shown.find('\0'));
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20) c = '.';
  host_.log.LogDevice(incoming ? "%s --> %s(fsn=0x%04X) '%s'" : "%s <-- %s(fsn=0x%04X) '%s'",
                      FormatIpv4(peer).c_str(), SdnpOpcodeName(header.opcode), header.fsn, shown.c_str());
}

int SdnpSession::WaitTurn(SdnpLink& link, bool& taken) {
  host_.pump.PumpOneMessage();
  return SdnpReceive(link, taken);
}

int SdnpSession::SdnpQuery(SdnpLink& link) {
  if (const int result = InitIfNeeded()) return result;
  const uint16_t query = links_.Random();
  for (int attempt = 0; attempt < kQueryTries; ++attempt) {
    if (SdnpSend(link, kSdnpQry, 0, query, 0)) return kResultSocketFailed;
    TickTimer timer;
    StartTimer(timer, host_.clock, kQueryWaitMs);
    while (!TimerExpired(timer, host_.clock)) {
      bool taken = false;
      if (WaitTurn(link, taken)) return kResultSocketFailed;
      if (!taken) continue;
      const SdnpHeader header = ReadSdnpHeader(link.rx.data());
      if (header.fsn != query) {
        host_.log.LogMessage("SDNP: discarded frame (fsn mismatch)");
      } else if (header.opcode != kSdnpAct) {
        host_.log.LogMessage("SDNP: discarded frame (waiting ACT)");
      } else {
        if (Verbose()) host_.log.LogMessage("SDNP: query success");
        return kResultOk;
      }
    }
    host_.log.LogMessage("SDNP: query timeout");
  }
  host_.log.LogMessage("SDNP: query failed");
  return kResultNoAnswer;
}

int SdnpSession::SdnpDetect(std::vector<Ipv4Address>& devices) {
  TransactionGuard in_progress(host_.state);
  devices.clear();
  SdnpLink link;
  link.device_ip = kBroadcastAddress;
  if (const int result = InitIfNeeded()) {
    host_.log.LogMessage("SDNP: interface init failed");
    return result;
  }
  const uint16_t query = links_.Random();
  bool more_than_listed = false;
  // Every network the machine is on is asked, whether or not a default
  // route leads to it; a network whose query cannot be sent is passed over.
  const std::vector<Ipv4Address> targets = links_.DetectionTargets();
  for (int attempt = 0; attempt < kQueryTries; ++attempt) {
    size_t failed = 0;
    for (Ipv4Address target : targets) {
      link.device_ip = target;
      if (SdnpSend(link, kSdnpQry, 0, query, 0)) ++failed;
    }
    link.device_ip = kBroadcastAddress;
    if (failed == targets.size()) return kResultSocketFailed;
    TickTimer timer;
    StartTimer(timer, host_.clock, kQueryWaitMs);
    while (!TimerExpired(timer, host_.clock)) {
      bool taken = false;
      if (WaitTurn(link, taken)) {
        devices.clear();
        return kResultSocketFailed;
      }
      const SdnpHeader header = ReadSdnpHeader(link.rx.data());
      if (!taken || header.fsn != query || header.opcode != kSdnpAct) continue;
      if (std::find(devices.begin(), devices.end(), link.peer_ip) != devices.end()) continue;
      if (devices.size() < kMaxDetected)
        devices.push_back(link.peer_ip);
      else
        more_than_listed = true;
    }
  }
  if (more_than_listed)
    host_.log.LogMessage("SDNP: more than %u devices answered; the first %u are listed",
                         static_cast<unsigned>(kMaxDetected), static_cast<unsigned>(kMaxDetected));
  return kResultOk;
}

int SdnpSession::SdnpSync(SdnpLink& link) {
  link.fsn = link.fsn == 0 ? links_.Random() : static_cast<uint16_t>(link.fsn + 8);
  if (Verbose()) host_.log.LogMessage("SDNP: synchronizing");
  for (int attempt = 0; attempt < kSyncTries; ++attempt) {
    if (SdnpSend(link, kSdnpSyn, 0, link.fsn, 0)) return kResultSocketFailed;
    TickTimer timer;
    StartTimer(timer, host_.clock, kSyncWaitMs);
    while (!TimerExpired(timer, host_.clock)) {
      bool taken = false;
      if (WaitTurn(link, taken)) return kResultSocketFailed;
      if (!taken) continue;
      const SdnpHeader header = ReadSdnpHeader(link.rx.data());
      if (header.fsn != link.fsn) {
        host_.log.LogMessage("SDNP: sync response ignored (seq.no)");
      } else if (header.opcode != kSdnpAck) {
        host_.log.LogMessage("SDNP: sync response ignored (opcode)");
      } else {
        ++link.fsn;
        link.synced = true;
        StartTimer(link.idle_timer, host_.clock, kIdleLimitMs);
        return kResultOk;
      }
    }
    host_.log.LogMessage("SDNP: sync timeout");
  }
  host_.log.LogMessage("SDNP: sync failed");
  return kResultNoAnswer;
}

// Waits out one response window after a REQ. `restart` is set for a NAK
// (send again), `resync` for an RST (synchronise, then send again); neither
// is set when the window ran out.
int SdnpSession::AwaitReply(SdnpLink& link, std::string& reply, bool& restart, bool& resync) {
  restart = resync = false;
  TickTimer response;
  StartTimer(response, host_.clock, kResponseWaitMs);
  while (!TimerExpired(response, host_.clock)) {
    bool taken = false;
    if (WaitTurn(link, taken)) return kResultSocketFailed;
    if (!taken) continue;
    const SdnpHeader header = ReadSdnpHeader(link.rx.data());
    if (header.fsn != link.fsn) {
      host_.log.LogMessage("SDNP: response ignored (seq.no)");
      continue;
    }
    switch (header.opcode) {
      case kSdnpRst:
        link.synced = false;
        if (Verbose()) host_.log.LogMessage("SDNP: resyncronize request");
        resync = true;
        return kResultOk;
      case kSdnpNak:
        restart = true;
        return kResultOk;
      case kSdnpRep:
        if (!SdnpDataChecksumOk(link.rx.data())) {
          host_.log.LogMessage("SDNP: data checksum error");
          if (SdnpSend(link, kSdnpNak, 0, link.fsn, 0)) return kResultSocketFailed;
          continue;
        }
        // The console acknowledges a reply with NAK.
        if (SdnpSend(link, kSdnpNak, 0, link.fsn, 0)) return kResultSocketFailed;
        reply.assign(reinterpret_cast<const char*>(link.rx.data()) + kSdnpHeaderSize, header.length);
        StartTimer(link.idle_timer, host_.clock, kIdleLimitMs);
        ++link.fsn;
        return kResultOk;
      default:
        host_.log.LogMessage("SDNP: invalid response to request; restarting");
    }
  }
  return kResultNoAnswer;
}

int SdnpSession::SdnpRequest(SdnpLink& link, const std::string& request, std::string& reply) {
  if (Verbose()) host_.log.LogDevice("Sending '%s'", ShownRequest(request).c_str());
  if (const int result = InitIfNeeded()) return result;
  if (request.size() > kSdnpMaxPayload) {
    host_.log.LogMessage("SDNP: request of %u bytes does not fit a frame (%u at most); not sent",
                         static_cast<unsigned>(request.size()), static_cast<unsigned>(kSdnpMaxPayload));
    return kResultRequestTooLong;
  }
  std::memcpy(link.tx.data() + kSdnpHeaderSize, request.data(), request.size());
  const auto length = static_cast<uint16_t>(request.size());
  int attempts = 0;
  unsigned restarts = 0;
  bool sync_first = true;
  while (true) {
    if (sync_first) {
      if (attempts == kRequestAttempts) {
        host_.log.LogMessage("SDNP: request failed");
        link.synced = false;
        return kResultNoAnswer;
      }
      if (!link.synced || TimerExpired(link.idle_timer, host_.clock)) {
        if (const int result = SdnpSync(link)) return result;
      }
    }
    if (SdnpSend(link, kSdnpReq, 0, link.fsn, length)) return kResultSocketFailed;
    StartTimer(link.idle_timer, host_.clock, kIdleLimitMs);
    bool restart = false, resync = false;
    const int result = AwaitReply(link, reply, restart, resync);
    if (result == kResultOk && !restart && !resync) return kResultOk;
    if (result == kResultSocketFailed) return result;
    if (restart || resync) {
      if (++restarts > kMaxRequestRestarts) {
        host_.log.LogMessage("SDNP: request failed; the device refused it %u times (NAK or RST)", restarts);
        link.synced = false;
        return kResultNoAnswer;
      }
      if (restart) host_.log.LogMessage("SDNP: request nak'ed; resending");
      sync_first = resync;
      continue;
    }
    ++attempts;
    host_.log.LogMessage("SDNP: request timeout");
    sync_first = true;
  }
}

}  // namespace veritor
