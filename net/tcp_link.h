#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/command.h"
#include "net/net_links.h"

namespace veritor {

// How a TCP device ends each reply.
enum class TcpReplyEnd {
  kCrLf,   // with CR LF (the devices this console was made for)
  kClose,  // by closing the connection
  kQuiet,  // by falling quiet for TcpLink::kReplyQuietMs; a reply in pieces further apart is cut
};
// "crlf", "close", "quiet".
const char* TcpReplyEndName(TcpReplyEnd end);
std::optional<TcpReplyEnd> ParseTcpReplyEnd(std::string_view name);

// The TCP link: the request text and CR LF on a stream to port 24222 of
// the device. The reply is what comes up to its end (see TcpReplyEnd; the CR
// LF is not part of it), however far apart its pieces come. Resending after
// a time-out is the only recovery; the resend goes on the same connection,
// so a late answer serves the resend of the same request, and the answers
// still owed to the request's other sends are waited for and dropped before
// the next request goes out (where they do not all come, or the request
// failed, the connection is closed with them). A reply under way is waited
// for, never resent.
// A close or reset found before any byte of the reply connects again once, at
// once, and sends the request again; a refused connect is tried again within
// the attempt's time, for devices that take one connection at a time.
class TcpLink final : public LinkTransaction {
 public:
  // How long the console's connect may take before it is given up.
  static constexpr uint32_t kConnectTimeoutMs = 3000;
  // For a device that ends its replies by falling quiet.
  static constexpr uint32_t kReplyQuietMs = 50;

  explicit TcpLink(NetLinks& links) : links_(links), host_(links.host()) {}

  int Transact(const std::string& request, std::string& reply, bool verbose) override;

  // 0 when the link to `device` stands (also when it already did), 1 when not.
  int TcpConnect(SdnpLink& link, Ipv4Address device, bool query);
  int TcpInit(Ipv4Address device);
  // The console's close: the link forgets the device.
  void TcpClose();
  int TcpRequest(const std::string& request, std::string& reply);

  void SetReplyEnd(TcpReplyEnd end) { reply_end_ = end; }
  TcpReplyEnd reply_end() const { return reply_end_; }

 private:
  enum class Intake { kNothing, kBytes, kClosed, kReset };
  enum class Outcome { kReply, kTimeout, kUnderWay, kGone };

  // The bytes of one reply and what follows it on the stream.
  struct Reply {
    // The longest reply and the CR LF that ends it.
    static constexpr size_t kCapacity = kMaxReplyText + 2;
    std::string bytes;
    size_t overflow = 0;  // reply bytes past kCapacity, counted only
    bool ended = false;   // its CR LF came
    bool last_was_cr = false;
    size_t after = 0;        // bytes after its end
    size_t after_lines = 0;  // CR LF line ends among them
    size_t raw = 0;          // every byte taken in
    void Add(const char* data, size_t length, bool ends_at_crlf);
    void Clear();
    size_t Length() const { return bytes.size() + overflow; }
  };

  int OpenConnection(Ipv4Address device, bool& opened);
  int AwaitConnection(TickTimer& deadline);
  int Reconnect(TickTimer& deadline);
  void DropConnection();
  // 0, or the error of a connection that has gone.
  int SendFrame(const std::string& frame, TickTimer& attempt);
  // Takes in what is pending without waiting, after what came before.
  int TcpPoll(Intake& intake);
  int DiscardWaiting(Intake& gone);
  // A close or reset before any byte of the reply: logged, the connection dropped.
  int DeviceGone(bool again);
  int AwaitReply(TickTimer& attempt, std::string& reply, Outcome& outcome);
  int TakeReply(std::string& reply, Outcome& outcome);
  void DropOwedAnswers(unsigned owed);

  NetLinks& links_;
  Host& host_;
  Reply reply_;
  Intake gone_how_ = Intake::kNothing;  // how the connection went: kClosed or kReset
  int gone_error_ = 0;                  // the socket error of a reset
  size_t leftover_ = 0;  // bytes after the last reply, dropped before the next request
  Ipv4Address device_ = 0;
  bool device_known_ = false;
  TcpReplyEnd reply_end_ = TcpReplyEnd::kCrLf;
};

}  // namespace veritor
