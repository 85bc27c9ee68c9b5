#pragma once

// What the fuzz targets share: a check that stops the run, a reader over the
// input, the console's surroundings on a virtual clock, and the network links
// on a scripted wire.

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/command.h"
#include "net/net_links.h"
#include "tests/support/fake_network.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"
#include "tests/support/wire_serial.h"

namespace veritor::fuzz {

// Unlike assert, never compiled out.
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : (std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition), std::abort()))

struct Record {
  uint8_t flags = 0;
  std::string bytes;
};

// Takes the fuzz input apart from the front; reads past the end give zeros.
struct InputReader {
  InputReader(const uint8_t* data, size_t size) : rest(reinterpret_cast<const char*>(data), size) {}
  uint8_t Byte() {
    const uint8_t byte = rest.empty() ? 0 : static_cast<uint8_t>(rest.front());
    rest.remove_prefix(rest.empty() ? 0 : 1);
    return byte;
  }
  // The rest as records: flags, the length (2 bytes, little-endian, at most
  // `max_length` and cut to what the input holds), the bytes.
  std::vector<Record> Records(size_t max_length = 0xFFFF) {
    std::vector<Record> records;
    while (!rest.empty()) {
      const uint8_t flags = Byte(), low = Byte();
      records.push_back({flags, std::string(rest.substr(0, std::min<size_t>(low | Byte() << 8, max_length)))});
      rest.remove_prefix(records.back().bytes.size());
    }
    return records;
  }
  std::string_view rest;
};

// A link whose device answers `replies` in turn, then `standing`.
struct ScriptedLink final : LinkTransaction {
  int Transact(const std::string& request, std::string& reply, bool) override {
    requests.push_back(request);
    reply = requests.size() <= replies.size() ? replies[requests.size() - 1] : standing;
    return kResultOk;
  }
  std::vector<std::string> replies;
  std::string standing = "00/00/00";
  std::vector<std::string> requests;
};

// The console's surroundings, fresh for every input, with a command executor
// on a scripted link. Each turn of the pump moves the clock and runs
// `on_turn` (the device's side); a wait longer than `max_turns` never ends.
struct FuzzHost : MessagePump, test::HostRecorders {
  explicit FuzzHost(uint32_t ms_per_turn = 1) : ms_per_turn(ms_per_turn) {}
  void PumpOneMessage() override {
    FUZZ_CHECK(++turns <= max_turns);
    clock.Advance(ms_per_turn);
    if (on_turn) on_turn();
  }
  uint32_t ms_per_turn;
  uint64_t turns = 0, max_turns = 1'000'000;
  std::function<void()> on_turn;
  VirtualTickClock clock{0xFFFFF000u};  // the tick counter wraps during a run
  Host host = HostOn(clock, *this);
  ScriptedLink link;
  CommandExecutor executor{host, link};
};

using test::DevicePacket;

// The input in a file of its own, removed with the object: a file that is
// emptied and written again is flushed to the disk on every close (ext4),
// which would cost most of the run.
struct InputFile {
  explicit InputFile(const std::string& content) {
    static const test::TempDir folder;
    static unsigned count = 0;
    path = folder.file(std::to_string(++count));
    test::WriteFile(path, content);
  }
  ~InputFile() { std::remove(path.c_str()); }
  std::string path;
};

inline constexpr Ipv4Address kDevice = 0x7F000002, kOther = 0x7F000003;  // 127.0.0.2 and 127.0.0.3

// The network links on a scripted wire, the clock 5 ms a turn, for an input
// of a mode byte (`verbose_bit` in it: with details) and records.
struct NetHost : FuzzHost {
  NetHost(InputReader& input, uint8_t verbose_bit) : FuzzHost(5), mode(input.Byte()), records(input.Records()) {
    max_turns = 100'000;
    state.VerboseFlag = (mode & verbose_bit) != 0;
  }
  // Records are datagrams that go out in bursts, one a call: the target
  // queues the first before the console sends anything, each later one when
  // it sends something. Each is made final by `finish` first.
  //   flags bit 0: sent from another address than the device's
  //   flags bit 1: the last datagram of its burst
  //   flags bits 2 to 7: fill-ins, for the target to apply
  void QueueBurst(const std::function<void(Record&)>& finish) {
    for (bool last = false; !last && next < records.size(); ++next) {
      finish(records[next]);
      last = (records[next].flags & 0x02) != 0;
      delivered.push_back({records[next].bytes, (records[next].flags & 0x01) ? kOther : kDevice, 0});
      wire.incoming.push_back(delivered.back());
    }
  }
  // Whether `sender` sent a datagram that passes `check`.
  bool AnyDelivered(const std::function<bool(const std::string&)>& check, Ipv4Address sender = kDevice) const {
    return std::any_of(delivered.begin(), delivered.end(),
                       [&](const auto& datagram) { return datagram.peer == sender && check(datagram.bytes); });
  }

  test::FakeWire wire;
  test::FakeNetwork network{wire};
  NetLinks links{host, network};
  SdnpLink record;
  const uint8_t mode;
  std::vector<Record> records;
  size_t next = 0;                                  // the first record not yet played
  std::vector<test::FakeWire::Datagram> delivered;  // every datagram queued so far, with its sender
};

}  // namespace veritor::fuzz
