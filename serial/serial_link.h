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
  enum class ReplyAttempt { kGood, kBad, kNoStx };

  int Exchange(const std::string& request, std::string& reply);
  int SignatureRequest(const std::string& request, std::string& reply);
  int Enquire();
  int ReceiveReply(char request_kind, std::string& reply);
  ReplyAttempt ReceivePacket();
  bool AwaitStx();
  void WriteByte(uint8_t byte);
  uint8_t ReadByte();
  int Fail(int result, const char* line);

  Host& host_;
  SerialPorts& ports_;
  ZReportFiles& z_report_;
  std::string receive_buffer_;
};

}  // namespace veritor
