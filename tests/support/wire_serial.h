#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_port.h"

namespace veritor::test {

// What a device sends for a reply text: STX, the text, "/", the 8-bit sum of
// text and "/" modulo 100 as two decimal digits, ETX.
inline std::string DevicePacket(std::string_view text) {
  uint8_t sum = '/';
  for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return "\x02" + std::string(text) + "/" + static_cast<char>('0' + sum % 100 / 10) +
         static_cast<char>('0' + sum % 10) + "\x03";
}

// A serial device written from the wire bytes alone: ACK to ENQ, ACK to a
// request packet, then the reply packet that `answer` gives for the request
// text (none for an empty text). Every request text it took is kept in
// `requests`.
struct WireSerialDevice final : PortOpener {
  std::function<std::string(const std::string& request)> answer;
  std::vector<std::string> requests;
  std::vector<unsigned long> speeds;  // of every open, in turn
  int open_ports = 0;                 // opened and not yet closed
  int wait_handle = -1;               // what its ports give as their descriptor

  // Replies by request text, in turn; the last one stays.
  void Script(std::map<std::string, std::deque<std::string>> replies) {
    answer = [replies = std::move(replies)](const std::string& request) mutable {
      std::deque<std::string>& queue = replies[request];
      if (queue.empty()) return std::string("06/00/00");
      std::string reply = queue.front();
      if (queue.size() > 1) queue.pop_front();
      return reply;
    };
  }

  PortOpenResult Open(unsigned, const LineSettings& settings) override {
    speeds.push_back(settings.baud);
    return {std::make_unique<Port>(*this), "wire", ""};
  }

  // Bytes the device sends of its own accord, on the port open now.
  void Send(std::string_view bytes) {
    if (open_ != nullptr) open_->out += bytes;
  }

 private:
  struct Port final : BytePort {
    explicit Port(WireSerialDevice& device) : device(device) {
      ++device.open_ports;
      device.open_ = this;
    }
    ~Port() override {
      --device.open_ports;
      if (device.open_ == this) device.open_ = nullptr;
    }
    size_t InputCount() override { return out.size(); }
    bool ReadByte(uint8_t& byte) override {
      if (out.empty()) return false;
      byte = static_cast<uint8_t>(out.front());
      out.erase(0, 1);
      return true;
    }
    bool WriteByte(uint8_t byte) override {
      if (byte == 0x05) out += '\x06';
      if (byte == 0x02) {
        in_packet = true;
        packet.clear();
      } else if (byte == 0x03 && in_packet) {
        in_packet = false;
        const std::string text = packet.substr(0, packet.size() - 3);  // "/" and two digits
        device.requests.push_back(text);
        const std::string reply = device.answer(text);
        out += '\x06';
        if (!reply.empty()) out += DevicePacket(reply);
      } else if (in_packet) {
        packet += static_cast<char>(byte);
      }
      return true;
    }
    void Purge() override { out.clear(); }
    int WaitHandle() const override { return device.wait_handle; }
    WireSerialDevice& device;
    std::string out, packet;
    bool in_packet = false;
  };
  Port* open_ = nullptr;
};

// The same device on a pty, for a program that opens a serial port by its
// path: a thread answers what the program writes until the end of the object.
// Set `device` up before Start(); read its requests through Requests().
class WirePty {
 public:
  WireSerialDevice device;

  // The path of the program's side, empty when no pty could be made.
  std::string Start() {
    int terminal = -1;
    char name[256] = {};
    if (openpty(&master_, &terminal, name, nullptr, nullptr) != 0) return {};
    terminal_ = terminal;
    port_ = device.Open(1, {}).port;
    thread_ = std::thread([this] { Serve(); });
    return name;
  }
  ~WirePty() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (terminal_ >= 0) close(terminal_);
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> hold(mutex_);
    return device.requests;
  }

 private:
  void Serve() {
    while (!done_) {
      pollfd wait{master_, POLLIN, 0};
      if (poll(&wait, 1, 20) <= 0 || (wait.revents & POLLIN) == 0) continue;
      uint8_t bytes[256];
      const ssize_t n = read(master_, bytes, sizeof bytes);
      if (n <= 0) continue;
      std::string answer;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        for (ssize_t i = 0; i < n; ++i) port_->WriteByte(bytes[i]);
        for (uint8_t byte; port_->ReadByte(byte);) answer += static_cast<char>(byte);
      }
      if (!answer.empty() && write(master_, answer.data(), answer.size()) < 0) return;
    }
  }
  int master_ = -1;
  int terminal_ = -1;  // kept open, so that the pty stays while the program opens and closes it
  std::unique_ptr<BytePort> port_;
  std::thread thread_;
  std::mutex mutex_;
  std::atomic<bool> done_ = false;
};

}  // namespace veritor::test
