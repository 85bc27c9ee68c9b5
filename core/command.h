#pragma once

#include <cstdint>
#include <string>

#include "core/host.h"
#include "core/results.h"

namespace veritor {

// The longest reply frame text a link delivers: 2047 bytes between STX and
// ETX on the serial link, less the "/" and two checksum digits.
inline constexpr size_t kMaxReplyText = 2044;

// The contract of the four links: one request frame text out, one reply frame
// text back into `reply`. 0 for success; the link logs its own failures.
class LinkTransaction {
 public:
  virtual ~LinkTransaction() = default;
  virtual int Transact(const std::string& request, std::string& reply, bool verbose) = 0;
  // ExecuteCommand is done with the request, however it ended: whatever the
  // link kept for asking the device again (the operator's answer to the Z
  // report's question) is spent.
  virtual void CommandEnded() {}
};

// Value of two hexadecimal digits (either case), or -1.
int ParseHexByte(char high, char low);

class CommandExecutor {
 public:
  // How long a device may keep answering BUSY or PRINTEROFFLINE before the
  // request is given up.
  static constexpr uint32_t kBusyLimitMs = 60000;

  CommandExecutor(Host& host, LinkTransaction& serial);

  // Routes ActiveLink 13, 14 or 15 to a network link.
  void SetNetworkLink(int active_link, LinkTransaction* link);

  // Sends one request over the link that ActiveLink names, repeating it while
  // the device is busy, decodes and shows the status and hands back the reply
  // data. 0 when a reply was decoded, whatever its error code; otherwise the
  // link's result, and nothing is decoded. The front end's stop
  // (Host::StopRequested) ends it with kResultStopped: not sent at all when
  // asked before, the BUSY repeat ended, the link's wait for the device ended.
  int ExecuteCommand(const std::string& request, std::string& data, bool verbose);

  const std::string& ReplyBuffer() const { return reply_buffer_; }
  int ReplyErrorCode() const { return reply_error_code_; }
  int DeviceStatusBits() const { return device_status_bits_; }
  int FunctionStatusBits() const { return function_status_bits_; }
  bool VerboseFlag() const { return host_.state.VerboseFlag; }

 private:
  int RunUntilNotBusy(const std::string& request, std::string& data, bool verbose);
  int RunLink(const std::string& request);
  void DecodeStatus();
  void ReportDeviceError();

  Host& host_;
  LinkTransaction& serial_;
  LinkTransaction* network_[3] = {nullptr, nullptr, nullptr};
  std::string reply_buffer_;
  int reply_error_code_ = 0;
  int device_status_bits_ = 0;
  int function_status_bits_ = 0;
};

}  // namespace veritor
