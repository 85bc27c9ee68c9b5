#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/wire_serial.h"

namespace veritor::test {

// A serial device written from the wire bytes on the master end of a pty,
// served by a thread, for runs of the real programs: ACK to ENQ, ACK to a
// request packet, then the reply packet that `answer` gives for the request
// text (none for an empty text). Once a request is acknowledged it may keep
// sending of its own accord: `opening` once, then `stream` every 10 ms, until
// the next enquiry.
class PtyWireDevice {
 public:
  using Answer = std::function<std::string(const std::string& request)>;

  explicit PtyWireDevice(Answer answer, std::string stream = {}, std::string opening = {})
      : answer_(std::move(answer)), stream_(std::move(stream)), opening_(std::move(opening)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PtyWireDevice() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
  }
  PtyWireDevice(const PtyWireDevice&) = delete;
  PtyWireDevice& operator=(const PtyWireDevice&) = delete;

  // The program's end; empty when no pty could be made.
  const std::string& path() const { return path_; }
  // How many request packets it took.
  size_t requests() const { return requests_; }
  // Closes its end at the request packet after the `answered` first, as a device unplugged.
  void HangUpAfter(size_t answered) { hang_up_after_ = answered; }

 private:
  void Serve() {
    using Clock = std::chrono::steady_clock;
    auto next_stream = Clock::now();
    bool streaming = false;
    std::string packet;
    bool in_packet = false;
    while (!done_) {
      pollfd p{master_, POLLIN, 0};
      poll(&p, 1, 2);
      uint8_t byte;
      std::string out;
      while (read(master_, &byte, 1) == 1) {
        if (byte == 0x05) {
          streaming = false;
          out += '\x06';
        } else if (byte == 0x02) {
          in_packet = true;
          packet.clear();
        } else if (byte == 0x03 && in_packet) {
          in_packet = false;
          if (++requests_ > hang_up_after_) {
            close(master_);
            master_ = -1;
            return;
          }
          const std::string reply = answer_(packet.substr(0, packet.size() - 3));
          out += '\x06';
          if (!reply.empty()) out += DevicePacket(reply);
          streaming = !stream_.empty() || !opening_.empty();
          out += opening_;
          next_stream = Clock::now();
        } else if (in_packet) {
          packet += static_cast<char>(byte);
        }
      }
      if (streaming && !stream_.empty() && Clock::now() >= next_stream) {
        out += stream_;
        next_stream += std::chrono::milliseconds(10);
      }
      // Nobody may be reading any more: what does not fit is dropped.
      if (!out.empty() && write(master_, out.data(), out.size()) < 0) continue;
    }
  }

  Answer answer_;
  std::string stream_, opening_;
  int master_ = -1;
  std::string path_;
  std::atomic<bool> done_{false};
  std::atomic<size_t> requests_{0};
  std::atomic<size_t> hang_up_after_{SIZE_MAX};
  std::thread thread_;
};

}  // namespace veritor::test
