#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/net_constants.h"
#include "tests/support/fake_network.h"

namespace veritor::test {

// A TCP device written from the wire bytes alone: each request is its text
// and CR LF on the stream to port 24222; each reply is the text that
// `answer` gives and CR LF. Every request text it took is kept in `requests`.
struct WireTcpDevice {
  FakeWire wire;
  FakeNetwork network{wire};
  std::function<std::string(const std::string& request)> answer;
  std::vector<std::string> requests;

  WireTcpDevice() {
    wire.respond = [this](const FakeWire::Datagram& sent) {
      if (sent.port != kTcpPort) return;
      pending_ += sent.bytes;
      for (size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
        const std::string request = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        requests.push_back(request);
        wire.stream_in += answer(request) + "\r\n";
      }
    };
  }

 private:
  std::string pending_;
};

}  // namespace veritor::test
