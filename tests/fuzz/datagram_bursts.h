#pragma once

// Datagrams from the fuzz input for the targets of the datagram links, in
// bursts: the first burst waits on the wire before the console sends
// anything, each later one goes out when the console sends something.
//
// One record per datagram: flags, the length (2 bytes, little-endian, cut to
// what the input holds), the bytes.
//   flags bit 0: sent from another address than the device's
//   flags bit 1: the last datagram of its burst
//   flags bits 2 to 7: fill-ins, for the target to apply

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_host.h"
#include "tests/support/fake_network.h"

namespace veritor::fuzz {

inline constexpr Ipv4Address kDevice = 0x7F000002;  // 127.0.0.2
inline constexpr Ipv4Address kOther = 0x7F000003;

struct ScriptedDatagram {
  uint8_t flags = 0;
  std::string bytes;
};

class DatagramBursts {
 public:
  using Finish = std::function<void(ScriptedDatagram&)>;

  explicit DatagramBursts(InputReader& input) {
    std::vector<ScriptedDatagram> burst;
    while (!input.empty()) {
      ScriptedDatagram datagram;
      datagram.flags = input.Byte();
      datagram.bytes = input.Take(input.Word());
      const bool last_of_burst = (datagram.flags & 0x02) != 0;
      burst.push_back(std::move(datagram));
      if (last_of_burst) {
        bursts_.push_back(std::move(burst));
        burst.clear();
      }
    }
    if (!burst.empty()) bursts_.push_back(std::move(burst));
  }

  // Puts the next burst on the wire, each datagram made final by `finish`.
  void QueueNext(test::FakeWire& wire, const Finish& finish) {
    if (bursts_.empty()) return;
    for (ScriptedDatagram& datagram : bursts_.front()) {
      if (finish) finish(datagram);
      const Ipv4Address sender = (datagram.flags & 0x01) ? kOther : kDevice;
      wire.Queue(datagram.bytes, sender);
      delivered_.push_back({datagram.bytes, sender, 0});
    }
    bursts_.pop_front();
  }

  // Every datagram queued so far, with its sender.
  const std::vector<test::FakeWire::Datagram>& Delivered() const { return delivered_; }

  // Whether the device (or, with `any_sender`, anyone) sent a datagram that
  // passes `check`.
  bool AnyDelivered(const std::function<bool(const std::string&)>& check, bool any_sender = false) const {
    for (const auto& datagram : delivered_)
      if ((any_sender || datagram.peer == kDevice) && check(datagram.bytes)) return true;
    return false;
  }

 private:
  std::deque<std::vector<ScriptedDatagram>> bursts_;
  std::vector<test::FakeWire::Datagram> delivered_;
};

}  // namespace veritor::fuzz
