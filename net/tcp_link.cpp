#include "net/tcp_link.h"

#include <algorithm>

#include "net/ipv4_text.h"
#include "net/net_constants.h"
#include "net/socket_errors.h"

namespace veritor {

namespace {

constexpr int kRequestAttempts = 6;
constexpr uint32_t kReplyWaitMs = 1000;
// Between connects that a device which serves one connection at a time refuses.
constexpr uint32_t kConnectRetryMs = 10;
constexpr int kWouldBlock = 10035;
constexpr int kTimedOut = 10060;
constexpr int kNotConnected = 10057;
// Not a socket error: the operator stopped the wait for a connection.
constexpr int kConnectStopped = -1;
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
  if (const char* why = WhyNotADeviceAddress(device)) {
    host_.log.LogMessage("TCP: %s is %s; nothing sent", FormatIpv4(device).c_str(), why);
    return kResultSocketFailed;
  }
  // The flag alone is not enough: a detection's datagram socket sets it too.
  const bool standing = links_.NetInitialized && links_.stream() != nullptr && device_known_ && device == device_;
  return standing ? kResultOk : TcpInit(device);
}

void TcpLink::TcpClose() {
  DropConnection();
  links_.UdpInitialized = false;
  device_known_ = false;
  line_ends_ = LineEnds::kUnknown;
}

void TcpLink::DropConnection() {
  links_.CloseNetSocket();
  links_.NetInitialized = false;
}

// Waits, pumping, until the connect that was started stands or fails. The
// first connect to a device ends at the operator's stop (kConnectStopped); a
// connect made again within a request is left to the request's attempts.
int TcpLink::AwaitConnection(TickTimer& deadline) {
  while (!TimerExpired(deadline, host_.clock)) {
    bool connected = false;
    if (const int error = links_.stream()->CheckConnected(connected)) return error;
    if (connected) return 0;
    if (!device_known_ && host_.StopRequested()) return kConnectStopped;
    host_.pump.PumpOneMessage();
  }
  return kTimedOut;
}

// A new stream socket, its connect started; 0 or the error of the call that
// failed, `opened` saying whether the socket was made.
int TcpLink::OpenConnection(Ipv4Address device, bool& opened) {
  std::unique_ptr<StreamSocket> socket;
  opened = false;
  if (const int error = links_.network().OpenStreamSocket(socket)) return error;
  opened = true;
  links_.SetStreamSocket(std::move(socket));
  links_.UdpInitialized = false;
  return links_.stream()->StartConnect(device, kTcpPort);
}

int TcpLink::TcpInit(Ipv4Address device) {
  device_ = device;
  device_known_ = false;
  if (const int error = links_.network().Startup()) {
    host_.log.LogMessage("TCP: winsock init failed: %s", SocketErrorName(error).c_str());
    TcpClose();
    return kResultSocketFailed;
  }
  TickTimer deadline;
  StartTimer(deadline, host_.clock, kConnectTimeoutMs);
  bool opened = false;
  int error = OpenConnection(device, opened);
  if (error == 0) error = AwaitConnection(deadline);
  if (error == kConnectStopped) {
    host_.log.LogMessage("TCP: connecting to %s stopped", FormatIpv4(device).c_str());
    TcpClose();
    return kResultStopped;
  }
  if (error != 0) {
    ReportSocketError(host_.log, opened ? "TCP: failed binding socket" : "TCP: failed opening socket", error);
    TcpClose();
    return kResultSocketFailed;
  }
  host_.log.LogMessage("TCP: protocol init ok");
  links_.NetInitialized = true;
  device_known_ = true;
  return kResultOk;
}

// Connects to the device again before `deadline`. A refused connect is tried
// again: a device that serves one connection at a time may take the next one
// only once it has seen the last one close.
int TcpLink::Reconnect(TickTimer& deadline) {
  constexpr int kRefused = 10061;
  while (true) {
    bool opened = false;
    int error = OpenConnection(device_, opened);
    if (error == 0) error = AwaitConnection(deadline);
    if (error == 0) {
      links_.NetInitialized = true;
      return 0;
    }
    DropConnection();
    if (error != kRefused || TimerExpired(deadline, host_.clock)) return error;
    TickTimer pause;
    StartTimer(pause, host_.clock, kConnectRetryMs);
    while (!TimerExpired(pause, host_.clock) && !TimerExpired(deadline, host_.clock)) host_.pump.PumpOneMessage();
  }
}

void TcpLink::ResetReply() {
  received_ = dropped_ = 0;
  last_was_cr_ = line_ended_ = false;
  line_end_ = 0;
}

// Notes where the first CR LF of the reply ends; `stored` says whether the
// bytes went into the buffer, after the `received_` bytes already there.
void TcpLink::NoteLineEnd(const char* bytes, size_t length, bool stored) {
  for (size_t i = 0; i < length && !line_ended_; ++i) {
    if (last_was_cr_ && bytes[i] == '\n') {
      line_ended_ = true;
      if (stored) line_end_ = received_ + i + 1;
    }
    last_was_cr_ = bytes[i] == '\r';
  }
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
    DropConnection();  // a connection that failed (a reset) is made again by the next request
    return kResultSocketFailed;
  }
  if (length == 0) {
    intake = Intake::kClosed;
    return kResultOk;
  }
  NoteLineEnd(into, length, !full);
  (full ? dropped_ : received_) += length;
  intake = Intake::kBytes;
  return kResultOk;
}

// Sends the whole frame, waiting for room while the stream is full, within
// the attempt's time. A send that fails shows up as a time-out.
void TcpLink::SendFrame(const std::string& frame, TickTimer& attempt) {
  size_t offset = 0;
  while (offset < frame.size() && links_.stream() != nullptr) {
    size_t sent = 0;
    const int error = links_.stream()->Send(frame.data() + offset, frame.size() - offset, sent);
    offset += sent;
    if ((error != 0 && error != kWouldBlock) || TimerExpired(attempt, host_.clock)) return;
    if (offset < frame.size()) host_.pump.PumpOneMessage();
  }
}

int TcpLink::DeviceClosed() {
  host_.log.LogMessage("TCP: the device closed the connection");
  DropConnection();
  return kResultSocketFailed;
}

int TcpLink::DiscardWaiting(bool& closed) {
  closed = false;
  ResetReply();
  for (int read = 0; read < kMaxDiscardReads && !closed; ++read) {
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    closed = intake == Intake::kClosed;
    if (intake == Intake::kNothing) break;
  }
  const size_t waiting = leftover_ + received_ + dropped_;
  if (waiting > 0)
    host_.log.LogMessage("TCP: %u bytes that came before the request dropped", static_cast<unsigned>(waiting));
  leftover_ = 0;
  ResetReply();
  return kResultOk;
}

// The reply is complete: what came up to its CR LF, or everything that came
// from a device that ends its replies without one.
int TcpLink::TakeReply(std::string& reply, Outcome& outcome) {
  if (dropped_ > 0) {
    host_.log.LogMessage("TCP: a reply of %u bytes is longer than %u; not taken",
                         static_cast<unsigned>(received_ + dropped_), static_cast<unsigned>(kMaxReplyText));
    return kResultNoAnswer;
  }
  const size_t length = line_ended_ ? line_end_ : received_;
  reply.assign(receive_buffer_.data(), length);
  leftover_ = received_ - length;
  outcome = Outcome::kReply;
  return kResultOk;
}

// The attempt's time is over with part of a reply, or nothing, taken in.
int TcpLink::AttemptEnded(std::string& reply, Outcome& outcome) {
  outcome = Outcome::kTimeout;
  if (received_ + dropped_ == 0) return kResultOk;
  if (line_ends_ == LineEnds::kCrLf) {
    host_.log.LogMessage("TCP: no CR LF ended the reply within %u ms; %u bytes not taken", kReplyWaitMs,
                         static_cast<unsigned>(received_ + dropped_));
    return kResultOk;
  }
  if (line_ends_ == LineEnds::kUnknown)
    host_.log.LogMessage("TCP: the device ends its replies without CR LF; they are taken after %u ms of quiet",
                         kReplyQuietMs);
  line_ends_ = LineEnds::kNone;
  return TakeReply(reply, outcome);
}

// Sends the frame and takes the reply within one attempt's time.
int TcpLink::RunAttempt(const std::string& frame, TickTimer& attempt, std::string& reply, Outcome& outcome) {
  ResetReply();
  SendFrame(frame, attempt);
  TickTimer quiet;
  bool quiet_running = false;
  while (!TimerExpired(attempt, host_.clock)) {
    host_.pump.PumpOneMessage();
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    if (intake == Intake::kClosed) {
      if (received_ + dropped_ == 0) {
        outcome = Outcome::kClosed;
        return kResultOk;
      }
      host_.log.LogMessage("TCP: the device closed the connection in the middle of a reply; %u bytes not taken",
                           static_cast<unsigned>(received_ + dropped_));
      DropConnection();
      return kResultSocketFailed;
    }
    if (line_ended_) {
      line_ends_ = LineEnds::kCrLf;
      return TakeReply(reply, outcome);
    }
    if (intake == Intake::kBytes) {
      StartTimer(quiet, host_.clock, kReplyQuietMs);
      quiet_running = true;
    } else if (line_ends_ == LineEnds::kNone && quiet_running && TimerExpired(quiet, host_.clock)) {
      // Only a read that finds nothing once the quiet time is over ends the
      // reply, however long this program was kept from running in between.
      return TakeReply(reply, outcome);
    }
  }
  return AttemptEnded(reply, outcome);
}

int TcpLink::TcpRequest(const std::string& request, std::string& reply) {
  if (host_.state.VerboseFlag) host_.log.LogDevice("Sending '%s'", ShownRequest(request).c_str());
  if (request.find_first_of("\r\n") != std::string::npos) {
    host_.log.LogMessage("TCP: the request holds CR or LF, which would end it early on the stream; not sent");
    return kResultRequestTooLong;
  }
  if (!device_known_) {
    ReportSocketError(host_.log, "TCP: not connected", kNotConnected);
    return kResultSocketFailed;
  }
  // A connection the device closed is opened again once, at once.
  bool reconnected = false;
  if (links_.stream() != nullptr) {
    bool closed = false;
    if (DiscardWaiting(closed)) return kResultSocketFailed;
    if (closed) {
      host_.log.LogMessage("TCP: the device closed the connection; connecting again");
      DropConnection();
      reconnected = true;
    }
  }
  const std::string frame = request + "\r\n";
  int timeouts = 0;
  while (timeouts < kRequestAttempts) {
    TickTimer attempt;
    StartTimer(attempt, host_.clock, kReplyWaitMs);
    Outcome outcome = Outcome::kTimeout;
    if (links_.stream() == nullptr) {
      if (const int error = Reconnect(attempt)) ReportSocketError(host_.log, "TCP: failed binding socket", error);
    }
    if (links_.stream() != nullptr) {
      if (const int result = RunAttempt(frame, attempt, reply, outcome)) return result;
    }
    if (outcome == Outcome::kReply) return kResultOk;
    if (outcome == Outcome::kClosed) {
      if (reconnected) return DeviceClosed();
      host_.log.LogMessage("TCP: the device closed the connection; connecting again");
      reconnected = true;
    } else {
      ++timeouts;
      host_.log.LogMessage("TCP: request timeout");
    }
    // The request goes again on a new connection.
    DropConnection();
  }
  host_.log.LogMessage("SDNP: request failed");
  return kResultNoAnswer;
}

}  // namespace veritor
