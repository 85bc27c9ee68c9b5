#include "net/tcp_link.h"

#include <algorithm>

#include "net/net_constants.h"
#include "net/socket_errors.h"

namespace veritor {

namespace {

constexpr int kRequestAttempts = 6;
constexpr uint32_t kReplyWaitMs = 1000;
constexpr int kWouldBlock = 10035;
constexpr int kTimedOut = 10060;
constexpr int kNotConnected = 10057;
// Reads that dropping what waits before a request takes at most, so that a
// device that never stops sending cannot hold the request.
constexpr int kMaxDiscardReads = 64;

}  // namespace

int TcpLink::Transact(const std::string& request, std::string& reply, bool) {
  TransactionGuard in_progress(host_.state);
  return TcpRequest(request, reply);
}

int TcpLink::TcpConnect(SdnpLink&, Ipv4Address device, bool) {
  TransactionGuard in_progress(host_.state);
  return links_.NetInitialized ? kResultOk : TcpInit(device);
}

void TcpLink::TcpClose() {
  links_.CloseNetSocket();
  links_.NetInitialized = false;
  links_.UdpInitialized = false;
}

// Waits, pumping, until the connect that was started stands or fails.
int TcpLink::AwaitConnection() {
  TickTimer timer;
  StartTimer(timer, host_.clock, kConnectTimeoutMs);
  while (!TimerExpired(timer, host_.clock)) {
    bool connected = false;
    if (const int error = links_.stream()->CheckConnected(connected)) return error;
    if (connected) return 0;
    host_.pump.PumpOneMessage();
  }
  return kTimedOut;
}

int TcpLink::TcpInit(Ipv4Address device) {
  device_ = device;
  if (const int error = links_.network().Startup()) {
    host_.log.LogMessage("TCP: winsock init failed: %s", SocketErrorName(error).c_str());
    TcpClose();
    return kResultSocketFailed;
  }
  std::unique_ptr<StreamSocket> socket;
  if (const int error = links_.network().OpenStreamSocket(socket)) {
    ReportSocketError(host_.log, "TCP: failed opening socket", error);
    TcpClose();
    return kResultSocketFailed;
  }
  links_.SetStreamSocket(std::move(socket));
  links_.UdpInitialized = false;
  int error = links_.stream()->StartConnect(device, kTcpPort);
  if (error == 0) error = AwaitConnection();
  if (error != 0) {
    ReportSocketError(host_.log, "TCP: failed binding socket", error);
    TcpClose();
    return kResultSocketFailed;
  }
  host_.log.LogMessage("TCP: protocol init ok");
  links_.NetInitialized = true;
  return kResultOk;
}

int TcpLink::TcpPoll(Intake& intake) {
  intake = Intake::kNothing;
  StreamSocket* socket = links_.stream();
  size_t pending = 0;
  if (const int error = socket->Pending(pending)) {
    ReportSocketError(host_.log, "SDNP: ioctl failed", error);
    return kResultSocketFailed;
  }
  char overflow[512];
  const bool full = received_ == receive_buffer_.size();
  char* into = full ? overflow : receive_buffer_.data() + received_;
  const size_t room = full ? sizeof overflow : receive_buffer_.size() - received_;
  // With nothing pending the read tells an idle connection (would block)
  // from one the device has closed (end of stream).
  const size_t wanted = pending == 0 ? room : std::min(pending, room);
  size_t length = 0;
  const int error = socket->Receive(into, wanted, length);
  if (error == kWouldBlock) return kResultOk;
  if (error != 0) {
    ReportSocketError(host_.log, "SDNP: receive failed", error);
    return kResultSocketFailed;
  }
  if (length == 0) {
    intake = Intake::kClosed;
    return kResultOk;
  }
  (full ? dropped_ : received_) += length;
  intake = Intake::kBytes;
  return kResultOk;
}

// Sends the whole frame, waiting for room while the stream is full, for at
// most one reply window. A send that fails shows up as a time-out.
void TcpLink::SendFrame(const std::string& frame) {
  TickTimer timer;
  StartTimer(timer, host_.clock, kReplyWaitMs);
  size_t offset = 0;
  while (offset < frame.size() && links_.stream() != nullptr) {
    size_t sent = 0;
    const int error = links_.stream()->Send(frame.data() + offset, frame.size() - offset, sent);
    offset += sent;
    if ((error != 0 && error != kWouldBlock) || TimerExpired(timer, host_.clock)) return;
    if (offset < frame.size()) host_.pump.PumpOneMessage();
  }
}

int TcpLink::DeviceClosed() {
  host_.log.LogMessage("TCP: the device closed the connection");
  TcpClose();
  return kResultSocketFailed;
}

int TcpLink::DiscardWaiting() {
  received_ = dropped_ = 0;
  for (int read = 0; read < kMaxDiscardReads; ++read) {
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    if (intake == Intake::kClosed) return DeviceClosed();
    if (intake == Intake::kNothing) break;
  }
  if (received_ + dropped_ > 0)
    host_.log.LogMessage("TCP: %u bytes that came before the request dropped",
                         static_cast<unsigned>(received_ + dropped_));
  received_ = dropped_ = 0;
  return kResultOk;
}

// Waits one reply window for the first bytes of a reply.
int TcpLink::AwaitFirstBytes(bool& answered) {
  answered = false;
  TickTimer timer;
  StartTimer(timer, host_.clock, kReplyWaitMs);
  while (!TimerExpired(timer, host_.clock)) {
    host_.pump.PumpOneMessage();
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    if (intake == Intake::kClosed) return DeviceClosed();
    if (intake == Intake::kBytes) {
      answered = true;
      return kResultOk;
    }
  }
  return kResultOk;
}

// Takes the rest of a reply: whatever comes until the stream has been quiet
// for kReplyQuietMs, within one reply window. Only a read that finds nothing
// once the quiet time is over ends the reply, however long this program was
// kept from running in between.
int TcpLink::CollectReply(std::string& reply) {
  TickTimer quiet, window;
  StartTimer(quiet, host_.clock, kReplyQuietMs);
  StartTimer(window, host_.clock, kReplyWaitMs);
  while (true) {
    if (TimerExpired(window, host_.clock)) {
      host_.log.LogMessage("TCP: the reply did not end within %u ms; not taken", kReplyWaitMs);
      return kResultNoAnswer;
    }
    host_.pump.PumpOneMessage();
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    if (intake == Intake::kClosed) {
      host_.log.LogMessage("TCP: the device closed the connection in the middle of a reply; %u bytes not taken",
                           static_cast<unsigned>(received_ + dropped_));
      TcpClose();
      return kResultSocketFailed;
    }
    if (intake == Intake::kBytes) {
      StartTimer(quiet, host_.clock, kReplyQuietMs);
    } else if (TimerExpired(quiet, host_.clock)) {
      break;
    }
  }
  if (dropped_ > 0) {
    host_.log.LogMessage("TCP: a reply of %u bytes is longer than %u; not taken",
                         static_cast<unsigned>(received_ + dropped_), static_cast<unsigned>(kMaxReplyText));
    return kResultNoAnswer;
  }
  reply.assign(receive_buffer_.data(), received_);
  return kResultOk;
}

int TcpLink::TcpRequest(const std::string& request, std::string& reply) {
  if (host_.state.VerboseFlag) host_.log.LogMessage("Sending '%s'", ShownRequest(request).c_str());
  if (links_.stream() == nullptr) {
    ReportSocketError(host_.log, "TCP: not connected", kNotConnected);
    return kResultSocketFailed;
  }
  if (DiscardWaiting()) return kResultSocketFailed;
  const std::string frame = request + "\r\n";
  for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
    if (attempt > 0 && TcpInit(device_) != kResultOk) return kResultSocketFailed;
    received_ = dropped_ = 0;
    SendFrame(frame);
    bool answered = false;
    if (AwaitFirstBytes(answered)) return kResultSocketFailed;
    if (answered) return CollectReply(reply);
    host_.log.LogMessage("TCP: request timeout");
  }
  host_.log.LogMessage("SDNP: request failed");
  return kResultNoAnswer;
}

}  // namespace veritor
