#pragma once

#include <array>
#include <string>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// The TCP link: the request text and CR LF on a stream to port 24222 of
// the device. A reply ends at its CR LF and is taken at once, however far
// apart its pieces come within the attempt's second. A device that ends its
// replies without CR LF (seen when a whole attempt brings bytes but no CR LF)
// has its replies taken once the stream has been quiet for kReplyQuietMs;
// a close of the stream ends no reply. Resending after a time-out is the only
// recovery; it goes on a new connection, so that a late answer to the attempt
// that timed out cannot be taken for a later request, and bytes that wait on
// the stream before a request are dropped. A connection the device closed is
// opened again by the next request, and a refused connect is tried again
// within the attempt's time, for devices that take one connection at a time.
class TcpLink final : public LinkTransaction {
 public:
  // How long the console's connect may take before it is given up.
  static constexpr uint32_t kConnectTimeoutMs = 3000;
  // For a device that ends its replies without CR LF: pieces that come
  // closer together than this are one reply.
  static constexpr uint32_t kReplyQuietMs = 50;

  explicit TcpLink(NetLinks& links) : links_(links), host_(links.host()) {}

  int Transact(const std::string& request, std::string& reply, bool verbose) override;

  // 0 when the link to `device` stands (also when it already did), 1 when not.
  int TcpConnect(SdnpLink& link, Ipv4Address device, bool query);
  int TcpInit(Ipv4Address device);
  // The console's close: the link forgets the device.
  void TcpClose();
  int TcpRequest(const std::string& request, std::string& reply);

 private:
  enum class Intake { kNothing, kBytes, kClosed };
  enum class LineEnds { kUnknown, kCrLf, kNone };
  enum class Outcome { kReply, kTimeout, kClosed };

  int OpenConnection(Ipv4Address device, bool& opened);
  int AwaitConnection(TickTimer& deadline);
  int Reconnect(TickTimer& deadline);
  void DropConnection();
  void SendFrame(const std::string& frame, TickTimer& attempt);
  // Takes in what is pending without waiting, after what came before.
  int TcpPoll(Intake& intake);
  void NoteLineEnd(const char* bytes, size_t length, bool stored);
  int DiscardWaiting(bool& closed);
  // Logs the close, drops the connection and gives 1.
  int DeviceClosed();
  int RunAttempt(const std::string& frame, TickTimer& attempt, std::string& reply, Outcome& outcome);
  int TakeReply(std::string& reply, Outcome& outcome);
  int AttemptEnded(std::string& reply, Outcome& outcome);
  void ResetReply();

  NetLinks& links_;
  Host& host_;
  // The reply under way; bytes past the longest reply are counted and dropped.
  std::array<char, kMaxReplyText> receive_buffer_{};
  size_t received_ = 0;
  size_t dropped_ = 0;
  bool last_was_cr_ = false;
  bool line_ended_ = false;
  size_t line_end_ = 0;  // just past the LF, when it lies in the buffer
  size_t leftover_ = 0;  // bytes after the last reply's CR LF, dropped before the next request
  Ipv4Address device_ = 0;
  bool device_known_ = false;
  LineEnds line_ends_ = LineEnds::kUnknown;
};

}  // namespace veritor
