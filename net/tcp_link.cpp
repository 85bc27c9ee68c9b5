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
// Beyond an attempt's time for each answer still owed, for a device whose
// answers come a little later than the resends went out.
constexpr uint32_t kOwedGraceMs = 250;
constexpr int kWouldBlock = 10035;
constexpr int kTimedOut = 10060;
constexpr int kNotConnected = 10057;
// Not a socket error: the operator stopped the wait for a connection.
constexpr int kConnectStopped = -1;
// Reads that dropping what waits before a request takes at most, so that a
// device that never stops sending cannot hold the request.
constexpr int kMaxDiscardReads = 64;

// Errors that say the connection is gone (EPIPE reads as ECONNRESET).
bool ConnectionGone(int error) {
  constexpr int kAborted = 10053, kReset = 10054, kShutDown = 10058;
  return error == kAborted || error == kReset || error == kNotConnected || error == kShutDown;
}

}  // namespace

const char* TcpReplyEndName(TcpReplyEnd end) {
  switch (end) {
    case TcpReplyEnd::kClose: return "close";
    case TcpReplyEnd::kQuiet: return "quiet";
    default: return "crlf";
  }
}

std::optional<TcpReplyEnd> ParseTcpReplyEnd(std::string_view name) {
  for (TcpReplyEnd end : {TcpReplyEnd::kCrLf, TcpReplyEnd::kClose, TcpReplyEnd::kQuiet})
    if (name == TcpReplyEndName(end)) return end;
  return std::nullopt;
}

void TcpLink::Reply::Clear() {
  bytes.clear();
  overflow = after = after_lines = raw = 0;
  ended = last_was_cr = false;
}

// Bytes after the end of the reply are only counted, with their line ends.
void TcpLink::Reply::Add(const char* data, size_t length, bool ends_at_crlf) {
  raw += length;
  for (size_t i = 0; i < length; ++i) {
    const char c = data[i];
    const bool line_end = last_was_cr && c == '\n';
    last_was_cr = c == '\r';
    if (ended) {
      ++after;
      after_lines += line_end;
    } else if (ends_at_crlf && line_end) {
      ended = true;
      last_was_cr = false;
      if (overflow > 0) {
        --overflow;  // the CR
      } else {
        bytes.pop_back();
      }
    } else if (bytes.size() < kCapacity) {
      bytes += c;
    } else {
      ++overflow;
    }
  }
}

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

int TcpLink::TcpPoll(Intake& intake) {
  intake = Intake::kNothing;
  StreamSocket* socket = links_.stream();
  size_t pending = 0;
  int error = socket->Pending(pending);
  if (error != 0 && !ConnectionGone(error)) {
    ReportSocketError(host_.log, "SDNP: ioctl failed", error);
    return kResultSocketFailed;
  }
  char chunk[4096];
  // With nothing pending the read tells an idle connection (would block)
  // from one the device has closed (end of stream).
  size_t length = 0;
  if (error == 0) error = socket->Receive(chunk, pending == 0 ? sizeof chunk : std::min(pending, sizeof chunk), length);
  if (error == kWouldBlock) return kResultOk;
  if (ConnectionGone(error)) {
    gone_error_ = error;
    intake = Intake::kReset;
    return kResultOk;
  }
  if (error != 0) {
    ReportSocketError(host_.log, "SDNP: receive failed", error);
    DropConnection();  // a connection that failed is made again by the next request
    return kResultSocketFailed;
  }
  if (length == 0) {
    intake = Intake::kClosed;
    return kResultOk;
  }
  reply_.Add(chunk, length, reply_end_ == TcpReplyEnd::kCrLf);
  intake = Intake::kBytes;
  return kResultOk;
}

// Sends the whole frame, waiting for room while the stream is full, within
// the attempt's time. Gives the error of a connection found gone; any other
// failure shows up as a time-out.
int TcpLink::SendFrame(const std::string& frame, TickTimer& attempt) {
  size_t offset = 0;
  while (offset < frame.size()) {
    size_t sent = 0;
    const int error = links_.stream()->Send(frame.data() + offset, frame.size() - offset, sent);
    offset += sent;
    if (ConnectionGone(error)) return error;
    if ((error != 0 && error != kWouldBlock) || TimerExpired(attempt, host_.clock)) return 0;
    if (offset < frame.size()) host_.pump.PumpOneMessage();
  }
  return 0;
}

int TcpLink::DeviceGone(bool again) {
  const std::string how = gone_how_ == Intake::kClosed
                              ? std::string("closed the connection")
                              : "reset the connection (" + SocketErrorName(gone_error_) + ")";
  DropConnection();
  host_.log.LogMessage(again ? "TCP: the device %s" : "TCP: the device %s; connecting again", how.c_str());
  return again ? kResultSocketFailed : kResultOk;
}

// What waits on the stream before a request answers no request of it.
int TcpLink::DiscardWaiting(Intake& gone) {
  gone = Intake::kNothing;
  reply_.Clear();
  for (int read = 0; read < kMaxDiscardReads; ++read) {
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    if (intake == Intake::kClosed || intake == Intake::kReset) gone = gone_how_ = intake;
    if (intake != Intake::kBytes) break;
  }
  const size_t waiting = leftover_ + reply_.raw;
  if (waiting > 0)
    host_.log.LogMessage("TCP: %u bytes that came before the request dropped", static_cast<unsigned>(waiting));
  leftover_ = 0;
  reply_.Clear();
  return kResultOk;
}

// The reply is complete: what came up to its end, without the CR LF.
int TcpLink::TakeReply(std::string& reply, Outcome& outcome) {
  size_t length = reply_.Length();
  if (!reply_.ended && reply_.overflow == 0 && reply_.bytes.ends_with("\r\n")) length -= 2;
  reply_.ended = true;  // what comes now is no part of it
  if (length > kMaxReplyText) {
    host_.log.LogMessage("TCP: a reply of %u bytes is longer than %u; not taken", static_cast<unsigned>(length),
                         static_cast<unsigned>(kMaxReplyText));
    return kResultNoAnswer;
  }
  reply.assign(reply_.bytes.data(), length);
  leftover_ = reply_.after;
  outcome = Outcome::kReply;
  return kResultOk;
}

// Takes the reply within the attempt's time, or says how the attempt ended.
int TcpLink::AwaitReply(TickTimer& attempt, std::string& reply, Outcome& outcome) {
  TickTimer quiet;
  bool quiet_running = false;
  while (!TimerExpired(attempt, host_.clock)) {
    host_.pump.PumpOneMessage();
    Intake intake;
    if (TcpPoll(intake)) return kResultSocketFailed;
    if (intake == Intake::kClosed || intake == Intake::kReset) {
      gone_how_ = intake;
      if (reply_.raw == 0) {
        outcome = Outcome::kGone;
        return kResultOk;
      }
      DropConnection();
      if (intake == Intake::kClosed && reply_end_ == TcpReplyEnd::kClose) return TakeReply(reply, outcome);
      host_.log.LogMessage("TCP: the device %s the connection in the middle of a reply; %u bytes not taken",
                           intake == Intake::kClosed ? "closed" : "reset", static_cast<unsigned>(reply_.raw));
      return kResultSocketFailed;
    }
    if (reply_.ended) return TakeReply(reply, outcome);
    if (intake == Intake::kBytes) {
      StartTimer(quiet, host_.clock, kReplyQuietMs);
      quiet_running = true;
    } else if (reply_end_ == TcpReplyEnd::kQuiet && quiet_running && TimerExpired(quiet, host_.clock)) {
      // Only a read that finds nothing once the quiet time is over ends the
      // reply, however long this program was kept from running in between.
      return TakeReply(reply, outcome);
    }
  }
  outcome = reply_.raw > 0 ? Outcome::kUnderWay : Outcome::kTimeout;
  return kResultOk;
}

// The request went more than once on this connection and one answer was
// taken: the device owes an answer to each other send. They are waited for,
// an attempt's time each, and dropped; when they do not all come (or cannot
// be counted), the connection is closed with them, so that none can serve a
// later request.
void TcpLink::DropOwedAnswers(unsigned owed) {
  TickTimer wait;
  StartTimer(wait, host_.clock, kReplyWaitMs * owed + kOwedGraceMs);
  const bool counted = reply_end_ == TcpReplyEnd::kCrLf;
  while (links_.stream() != nullptr && !(counted && reply_.after_lines >= owed) && !TimerExpired(wait, host_.clock)) {
    host_.pump.PumpOneMessage();
    Intake intake;
    if (TcpPoll(intake)) break;
    if (intake == Intake::kClosed || intake == Intake::kReset) DropConnection();
  }
  if (reply_.after > 0)
    host_.log.LogMessage("TCP: %u bytes of late answers to the request's earlier sends dropped",
                         static_cast<unsigned>(reply_.after));
  leftover_ = 0;
  if (links_.stream() != nullptr && !(counted && reply_.after_lines >= owed)) {
    if (counted)
      host_.log.LogMessage("TCP: %u of %u late answers did not come; the connection is closed with them",
                           owed - static_cast<unsigned>(reply_.after_lines), owed);
    DropConnection();
  }
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
  // A connection found closed or reset is made again once, at once.
  bool reconnected = false;
  if (links_.stream() != nullptr) {
    Intake gone;
    if (DiscardWaiting(gone)) return kResultSocketFailed;
    if (gone != Intake::kNothing) {
      DeviceGone(false);
      reconnected = true;
    }
  }
  const std::string frame = request + "\r\n";
  unsigned sends = 0;  // of the frame on this connection
  bool send = true;
  int attempts = 0;
  while (attempts < kRequestAttempts) {
    TickTimer attempt;
    StartTimer(attempt, host_.clock, kReplyWaitMs);
    if (links_.stream() == nullptr) {
      reply_.Clear();
      sends = 0;
      send = true;
      if (const int error = Reconnect(attempt)) ReportSocketError(host_.log, "TCP: failed binding socket", error);
    }
    Outcome outcome = Outcome::kTimeout;
    if (links_.stream() != nullptr) {
      if (send) {
        if (const int error = SendFrame(frame, attempt)) {
          gone_how_ = Intake::kReset;
          gone_error_ = error;
          outcome = Outcome::kGone;
        } else {
          ++sends;
        }
      }
      if (outcome != Outcome::kGone) {
        if (const int result = AwaitReply(attempt, reply, outcome)) return result;
      }
    }
    switch (outcome) {
      case Outcome::kReply:
        if (sends > 1) DropOwedAnswers(sends - 1);
        return kResultOk;
      case Outcome::kGone:
        if (reconnected) return DeviceGone(true);
        DeviceGone(false);
        reconnected = true;
        break;
      case Outcome::kUnderWay:
        // Part of a reply is in: a resend would only make the device answer twice.
        ++attempts;
        send = false;
        break;
      case Outcome::kTimeout:
        ++attempts;
        host_.log.LogMessage("TCP: request timeout");
        send = true;
        // A device that ends its replies by closing answers one request a connection.
        if (reply_end_ == TcpReplyEnd::kClose) DropConnection();
        break;
    }
  }
  if (reply_.raw > 0) {
    static constexpr const char* kNoEnd[] = {"no CR LF ended the reply", "the device did not close the connection",
                                             "the stream did not fall quiet"};
    host_.log.LogMessage("TCP: %s within %u ms; %u bytes not taken", kNoEnd[static_cast<int>(reply_end_)],
                         kRequestAttempts * kReplyWaitMs, static_cast<unsigned>(reply_.raw));
  }
  reply_.Clear();
  // The device may still answer the sends: a new connection for the next request.
  DropConnection();
  host_.log.LogMessage("SDNP: request failed");
  return kResultNoAnswer;
}

}  // namespace veritor
