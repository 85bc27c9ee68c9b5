#include "serial/serial_link.h"

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
  if (verbose) host_.log.LogMessage("Request frame [%s]", request.c_str());
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
  if (SendPacket(request) == 0) return Fail(kResultPacketNotAcked, "Packet not acknowledged");
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
    for (int i = 0; i < 3; ++i) WriteByte(kCan);
    ports_.PurgePort(port);
    WriteByte(kEnq);
    if (!ports_.WaitForInput(kEnquiryAckMs)) {
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

// Skips, one line each, the bytes that come before the STX; false when none
// comes within 2000 ms of the last byte.
bool SerialLink::AwaitStx() {
  while (ports_.WaitForInput(kReplyStxMs)) {
    const uint8_t byte = ReadByte();
    if (byte == kStx) return true;
    host_.log.LogMessage("Expected STX, received 0x%02X. Ignored", byte);
  }
  return false;
}

SerialLink::ReplyAttempt SerialLink::ReceivePacket() {
  if (!AwaitStx()) return ReplyAttempt::kNoStx;
  receive_buffer_.clear();
  bool too_long = false;
  while (true) {
    if (!ports_.WaitForInput(kInterByteMs)) return ReplyAttempt::kBad;
    const uint8_t byte = ReadByte();
    if (byte == kEtx) break;
    // A longer packet keeps its first bytes; the rest is read and dropped.
    if (receive_buffer_.size() < kMaxPacketBody) {
      receive_buffer_ += static_cast<char>(byte);
    } else {
      too_long = true;
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
  for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
    switch (ReceivePacket()) {
      case ReplyAttempt::kNoStx:
        return Fail(kResultReceiveStxTimeout, "Receive STX timeout");
      case ReplyAttempt::kBad:
        WriteByte(kNak);
        continue;
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
