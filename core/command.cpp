#include "core/command.h"

#include "core/control_ids.h"
#include "core/device_errors.h"
#include "core/tick_timer.h"

namespace veritor {

namespace {

constexpr int kBusyCode = 0x0E;
constexpr int kPrinterOfflineCode = 0x1A;
constexpr size_t kStatusPartLength = 9;

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The pair at `position`, with a position past the end counting as a
// non-hexadecimal character; an undecodable pair gives 0xFF.
int StatusByteAt(const std::string& reply, size_t position) {
  const char high = position < reply.size() ? reply[position] : '\0';
  const char low = position + 1 < reply.size() ? reply[position + 1] : '\0';
  return ParseHexByte(high, low) & 0xFF;
}

bool DeviceIsBusy(int code) { return code == kBusyCode || code == kPrinterOfflineCode; }

}  // namespace

int ParseHexByte(char high, char low) {
  const int h = HexDigitValue(high);
  const int l = HexDigitValue(low);
  if (h < 0 || l < 0) return -1;
  return h * 16 + l;
}

CommandExecutor::CommandExecutor(Host& host, LinkTransaction& serial) : host_(host), serial_(serial) {}

void CommandExecutor::SetNetworkLink(int active_link, LinkTransaction* link) {
  if (IsNetworkLink(active_link)) network_[active_link - kLinkSdnp] = link;
}

int CommandExecutor::RunLink(const std::string& request) {
  const int link = host_.state.ActiveLink;
  LinkTransaction* transaction = IsNetworkLink(link) ? network_[link - kLinkSdnp] : &serial_;
  if (transaction == nullptr) {
    host_.log.LogMessage("Network link not available");
    return kResultSocketFailed;
  }
  int result = transaction->Transact(request, reply_buffer_, host_.state.VerboseFlag);
  // Only the serial link answers 2001: the operator rejected the Z report's
  // signature, so the report is closed with "x/5" instead.
  if (result == kResultSignatureRejected) result = serial_.Transact("x/5", reply_buffer_, host_.state.VerboseFlag);
  return result;
}

void CommandExecutor::DecodeStatus() {
  reply_error_code_ = StatusByteAt(reply_buffer_, 0);
  device_status_bits_ = StatusByteAt(reply_buffer_, 3);
  function_status_bits_ = StatusByteAt(reply_buffer_, 6);
}

void CommandExecutor::ReportDeviceError() {
  if (reply_error_code_ == 0) return;
  if (const DeviceErrorRow* row = FindDeviceError(reply_error_code_))
    host_.log.LogMessage("Error 0x%02X: %s (%s) -- %s", reply_error_code_, row->mnemonic, row->description,
                         row->action);
  else
    host_.log.LogMessage("Unknown error 0x%02X", reply_error_code_);
}

int CommandExecutor::ExecuteCommand(const std::string& request, std::string& data, bool verbose) {
  const int result = RunUntilNotBusy(request, data, verbose);
  serial_.CommandEnded();
  return result;
}

int CommandExecutor::RunUntilNotBusy(const std::string& request, std::string& data, bool verbose) {
  host_.state.VerboseFlag = verbose;
  // The serial link shows its request itself; on the network links it is shown
  // here, so that a refused request does not leave the one before on show.
  if (IsNetworkLink(host_.state.ActiveLink)) host_.display.SetFieldText(kIdRequestField, request);
  if (host_.StopRequested()) {
    host_.log.LogMessage("Stopped before the request was sent");
    return kResultStopped;
  }
  TickTimer busy_timer;
  bool busy_seen = false;
  while (true) {
    const int result = RunLink(request);
    if (result != kResultOk) return result;
    DecodeStatus();
    if (!DeviceIsBusy(reply_error_code_)) break;
    if (host_.StopRequested()) {
      host_.log.LogMessage("Stopped while the device answered busy (0x%02X); the request was not carried out",
                           reply_error_code_);
      return kResultStopped;
    }
    // The device may stay busy for as long as it likes; it is asked again at
    // once, but not for ever.
    if (!busy_seen) {
      StartTimer(busy_timer, host_.clock, kBusyLimitMs);
      busy_seen = true;
    } else if (TimerExpired(busy_timer, host_.clock)) {
      host_.log.LogMessage("Device still %s (0x%02X) after %u s; request given up",
                           reply_error_code_ == kPrinterOfflineCode ? "offline" : "busy", reply_error_code_,
                           kBusyLimitMs / 1000);
      return kResultStillBusy;
    }
  }
  ShowStatusBits(host_.display, device_status_bits_, function_status_bits_);
  if (verbose)
    host_.log.LogMessage("Status info   [%02X-%02X-%02X]", reply_error_code_, device_status_bits_,
                         function_status_bits_);
  host_.display.SetFieldText(kIdReplyField, reply_buffer_);
  ReportDeviceError();
  data = reply_buffer_.size() > kStatusPartLength ? reply_buffer_.substr(kStatusPartLength) : std::string();
  if (!data.empty() && verbose) host_.log.LogDevice("Replied frame [%s]", data.c_str());
  return kResultOk;
}

}  // namespace veritor
