#pragma once

#include <string>

#include "core/command.h"
#include "core/host.h"
#include "serial/serial_ports.h"
#include "serial/z_report.h"

namespace veritor {

// The serial link: one request frame text to the device on port ActiveLink
// and one reply frame text back. An enquiry (CAN CAN CAN ENQ, answered by
// ACK), the request packet (answered by ACK), then the reply packet, which is
// checked and answered with ACK or NAK.
class SerialLink final : public LinkTransaction {
 public:
  // The longest the reply phase of one exchange lasts, whatever the device
  // sends: stray bytes before the STX, or a packet without ETX. Three full
  // 2047-byte packets at 9600 baud, each after a 2000 ms wait, fit in it.
  static constexpr uint32_t kReplyPhaseMs = 15000;

  SerialLink(Host& host, SerialPorts& ports, ZReportFiles& z_report);

  int Transact(const std::string& request, std::string& reply, bool verbose) override {
    return SerialTransaction(request, reply, verbose);
  }
  void CommandEnded() override { z_report_.ForgetAnswers(); }

  int SerialTransaction(const std::string& request, std::string& reply, bool verbose);
  // 1 when the device acknowledged the packet, 0 otherwise.
  int SendPacket(const std::string& request);
  // Acknowledges the reply packet and hands its text over.
  void CompleteTransaction(std::string& reply);

  // The body of the last reply packet (its text once it proved good).
  const std::string& ReceiveBuffer() const { return receive_buffer_; }

 private:
  enum class ReplyAttempt { kGood, kBad, kNoStx, kStopped, kOverrun, kGone };
  // The reply phase of one exchange, over its attempts.
  struct ReplyPhase {
    uint32_t start = 0;  // the tick the phase began
    unsigned stray_bytes = 0;  // bytes other than STX while awaiting one
    bool inside_packet = false;  // the deadline came after an STX
  };

  int Exchange(const std::string& request, std::string& reply);
  int SignatureRequest(const std::string& request, std::string& reply);
  int Enquire();
  int ReceiveReply(char request_kind, std::string& reply);
  ReplyAttempt ReceivePacket(ReplyPhase& phase);
  ReplyAttempt AwaitStx(ReplyPhase& phase);
  ReplyAttempt AwaitReplyByte(ReplyPhase& phase, uint32_t ms, ReplyAttempt timed_out);
  uint32_t MsLeft(const ReplyPhase& phase) const;
  void WriteByte(uint8_t byte);
  uint8_t ReadByte();
  int Fail(int result, const char* line);

  Host& host_;
  SerialPorts& ports_;
  ZReportFiles& z_report_;
  std::string receive_buffer_;
};

}  // namespace veritor
