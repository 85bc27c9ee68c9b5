#include "serial/serial_link.h"

#include <algorithm>

#include "core/control_ids.h"
#include "serial/packet.h"

namespace veritor {

namespace {

constexpr int kEnquiryAttempts = 3;
constexpr int kPacketAttempts = 5;
constexpr int kReplyAttempts = 3;
constexpr uint32_t kEnquiryAckMs = 1000;
constexpr uint32_t kPacketAckMs = 2000;
constexpr uint32_t kReplyStxMs = 2000;
constexpr uint32_t kInterByteMs = 500;
// Stray bytes before a reply's STX logged one line each; the rest are counted.
constexpr unsigned kStrayBytesLogged = 16;
constexpr char kPortGoneLine[] = "The serial port has gone (its line hung up); nothing more can be sent or received";

bool NeedsSignatureStep(const std::string& request) {
  return request.size() >= 3 && request[0] == 'x' && (request[2] == '2' || request[2] == '5');
}

}  // namespace

SerialLink::SerialLink(Host& host, SerialPorts& ports, ZReportFiles& z_report)
    : host_(host), ports_(ports), z_report_(z_report) {
  receive_buffer_.reserve(kMaxPacketBody);
}

void SerialLink::WriteByte(uint8_t byte) { ports_.WritePortByte(host_.state.ActiveLink, byte); }

uint8_t SerialLink::ReadByte() { return ports_.ReadPortByte(host_.state.ActiveLink); }

int SerialLink::Fail(int result, const char* line) {
  host_.log.LogMessage("%s", line);
  return result;
}

void SerialLink::CompleteTransaction(std::string& reply) {
  WriteByte(kAck);
  reply = receive_buffer_;
}

int SerialLink::SerialTransaction(const std::string& request, std::string& reply, bool verbose) {
  TransactionGuard in_progress(host_.state);
  if (verbose) host_.log.LogDevice("Request frame [%s]", request.c_str());
  host_.display.SetFieldText(kIdRequestField, request);
  const char kind = request.empty() ? '\0' : request[0];
  if (request.find_first_of("\x02\x03") != std::string::npos) {
    host_.log.LogMessage("The request holds STX or ETX, which would break its packet on the serial line; not sent");
    return kResultRequestTooLong;
  }

  if (!NeedsSignatureStep(request)) {
    z_report_.ForgetAnswers();
    if (kind == 'A') z_report_.ReportRequested();
    return Exchange(request, reply);
  }
  const int result = SignatureRequest(request, reply);
  z_report_.SignatureRequestEnded(request, result, reply);
  return result;
}

int SerialLink::Exchange(const std::string& request, std::string& reply) {
  if (const int enquiry = Enquire(); enquiry != kResultOk) return enquiry;
  if (SendPacket(request) == 0) {
    if (ports_.HungUp(host_.state.ActiveLink)) return Fail(kResultPortGone, kPortGoneLine);
    if (host_.StopEndsExchange())
      return Fail(kResultStopped, "Stopped before the device acknowledged the request; it may have carried it out");
    return Fail(kResultPacketNotAcked, "Packet not acknowledged");
  }
  return ReceiveReply(request[0], reply);
}

// A stop asked for before or at the question (Ctrl-C, Esc) is no answer:
// nothing goes out, and no "x/5" follows.
int SerialLink::SignatureRequest(const std::string& request, std::string& reply) {
  const char* stopped = "Stopped at the Z report's question; request not sent";
  if (host_.StopRequested()) return Fail(kResultSignatureStopped, stopped);
  const int signature = z_report_.SignatureStep(request);
  if (host_.StopRequested()) return Fail(kResultSignatureStopped, stopped);
  if (signature == kResultSignatureRejected) CompleteTransaction(reply);
  if (signature != kResultOk) return signature;
  return Exchange(request, reply);
}

int SerialLink::Enquire() {
  const int port = host_.state.ActiveLink;
  for (int attempt = 0; attempt < kEnquiryAttempts; ++attempt) {
    if (ports_.HungUp(port)) return Fail(kResultPortGone, kPortGoneLine);
    for (int i = 0; i < 3; ++i) WriteByte(kCan);
    ports_.PurgePort(port);
    WriteByte(kEnq);
    if (!ports_.WaitForInput(kEnquiryAckMs)) {
      if (ports_.HungUp(port)) return Fail(kResultPortGone, kPortGoneLine);
      if (host_.StopEndsExchange()) return Fail(kResultStopped, "Stopped before the request was sent");
      host_.log.LogMessage("Enquire #%u timedout", attempt);
      continue;
    }
    const uint8_t answer = ReadByte();
    if (answer == kAck) return kResultOk;
    if (answer == kCan) return Fail(kResultCanceledByPeer, "Canceled by peer");
    host_.log.LogMessage("Enquire #%u not acked (0x%02X)", attempt, answer);
  }
  return Fail(kResultEnquireFailed, "Enquire state failed");
}

int SerialLink::SendPacket(const std::string& request) {
  const std::string packet = BuildPacket(request);
  const int port = host_.state.ActiveLink;
  for (int attempt = 0; attempt < kPacketAttempts; ++attempt) {
    ports_.PurgePort(port);
    for (char byte : packet) WriteByte(static_cast<uint8_t>(byte));
    if (!ports_.WaitForInput(kPacketAckMs)) {
      if (ports_.HungUp(port) || host_.StopEndsExchange()) return 0;
      host_.log.LogMessage("Packet acknowledge timed out");
      continue;
    }
    const uint8_t answer = ReadByte();
    if (answer == kAck) return 1;
    if (answer == kCan) return 0;
    if (attempt < kPacketAttempts - 1) host_.log.LogMessage("Packet not acknowledged, retrying");
  }
  return 0;
}

uint32_t SerialLink::MsLeft(const ReplyPhase& phase) const {
  const uint32_t elapsed = host_.clock.GetTickCount() - phase.start;
  return elapsed >= kReplyPhaseMs ? 0 : kReplyPhaseMs - elapsed;
}

// Waits at most `ms` for the next byte of the reply, and never past the end of
// the reply phase: kGood when a byte waits, else why not (`timed_out` when the
// `ms` passed first). A byte that waits is taken even after a stop, so that a
// reply already there is not lost.
SerialLink::ReplyAttempt SerialLink::AwaitReplyByte(ReplyPhase& phase, uint32_t ms, ReplyAttempt timed_out) {
  const uint32_t left = MsLeft(phase);
  if (left == 0) return ReplyAttempt::kOverrun;
  if (ports_.WaitForInput(std::min(ms, left))) return ReplyAttempt::kGood;
  if (ports_.HungUp(host_.state.ActiveLink)) return ReplyAttempt::kGone;
  if (host_.StopEndsExchange()) return ReplyAttempt::kStopped;
  return MsLeft(phase) == 0 ? ReplyAttempt::kOverrun : timed_out;
}

// Skips, one line each, the bytes that come before the STX; kNoStx when none
// comes within 2000 ms of the last byte.
SerialLink::ReplyAttempt SerialLink::AwaitStx(ReplyPhase& phase) {
  while (true) {
    if (const ReplyAttempt wait = AwaitReplyByte(phase, kReplyStxMs, ReplyAttempt::kNoStx); wait != ReplyAttempt::kGood)
      return wait;
    const uint8_t byte = ReadByte();
    if (byte == kStx) return ReplyAttempt::kGood;
    if (++phase.stray_bytes <= kStrayBytesLogged) host_.log.LogMessage("Expected STX, received 0x%02X. Ignored", byte);
    if (phase.stray_bytes == kStrayBytesLogged) host_.log.LogMessage("Further bytes before STX are counted, not logged");
    // A device that floods the line must not outlast the operator's stop.
    if (host_.StopEndsExchange()) return ReplyAttempt::kStopped;
  }
}

SerialLink::ReplyAttempt SerialLink::ReceivePacket(ReplyPhase& phase) {
  phase.inside_packet = false;
  if (const ReplyAttempt stx = AwaitStx(phase); stx != ReplyAttempt::kGood) return stx;
  phase.inside_packet = true;
  receive_buffer_.clear();
  bool too_long = false;
  while (true) {
    if (const ReplyAttempt wait = AwaitReplyByte(phase, kInterByteMs, ReplyAttempt::kBad); wait != ReplyAttempt::kGood)
      return wait;
    const uint8_t byte = ReadByte();
    if (byte == kEtx) break;
    // A longer packet keeps its first bytes; the rest is read and dropped.
    if (receive_buffer_.size() < kMaxPacketBody) {
      receive_buffer_ += static_cast<char>(byte);
    } else {
      too_long = true;
      if (host_.StopEndsExchange()) return ReplyAttempt::kStopped;
    }
  }
  // Its checksum went with the bytes dropped: what is left cannot be checked,
  // even when its last bytes happen to look like a checksum that matches.
  if (too_long) {
    host_.log.LogMessage("Reply packet longer than %u bytes; not taken", static_cast<unsigned>(kMaxPacketBody));
    return ReplyAttempt::kBad;
  }
  std::string text;
  if (!ExtractPacketText(receive_buffer_, text)) return ReplyAttempt::kBad;
  receive_buffer_ = std::move(text);
  return ReplyAttempt::kGood;
}

int SerialLink::ReceiveReply(char request_kind, std::string& reply) {
  // However the device keeps sending, the reply phase ends within kReplyPhaseMs.
  ReplyPhase phase;
  phase.start = host_.clock.GetTickCount();
  for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
    switch (ReceivePacket(phase)) {
      case ReplyAttempt::kNoStx:
        return Fail(kResultReceiveStxTimeout, "Receive STX timeout");
      case ReplyAttempt::kGone:
        return Fail(kResultPortGone, kPortGoneLine);
      case ReplyAttempt::kBad:
        WriteByte(kNak);
        continue;
      case ReplyAttempt::kStopped:
        return Fail(kResultStopped, "Stopped while awaiting the reply; the device may have carried out the request");
      case ReplyAttempt::kOverrun:
        if (phase.inside_packet)
          host_.log.LogMessage("No ETX ended the reply packet within %u s of the request; request given up",
                               kReplyPhaseMs / 1000);
        else
          host_.log.LogMessage("No good reply within %u s of the request (%u bytes came before any STX); request given up",
                               kReplyPhaseMs / 1000, phase.stray_bytes);
        return kResultReplyOverrun;
      case ReplyAttempt::kGood:
        if (request_kind == 'A') z_report_.AStep(receive_buffer_);
        if (request_kind == 'Q') z_report_.QStep(receive_buffer_);
        CompleteTransaction(reply);
        return kResultOk;
    }
  }
  return Fail(kResultRetriesFailed, "Request retries failed");
}

}  // namespace veritor
