#pragma once

// What the fuzz targets share: a check that stops the run, a reader over the
// fuzz input, the console's surroundings on a virtual clock, a link that
// plays scripted replies, and the packet a device sends for a reply text.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command.h"
#include "core/host.h"
#include "tests/support/test_host.h"

namespace veritor::fuzz {

[[noreturn]] inline void Fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, condition);
  std::abort();
}

// Unlike assert, never compiled out.
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::veritor::fuzz::Fail(#condition, __FILE__, __LINE__))

// Takes the fuzz input apart from the front; reads past the end give zeros
// and empty pieces.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return rest_.empty(); }
  uint8_t Byte() {
    if (rest_.empty()) return 0;
    const auto byte = static_cast<uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return byte;
  }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  std::string Take(size_t count) {
    const std::string_view piece = rest_.substr(0, count);
    rest_.remove_prefix(piece.size());
    return std::string(piece);
  }

 private:
  std::string_view rest_;
};

// A pump that moves the virtual clock and runs `on_turn` (the scripted
// device's side). A wait that takes more than `max_turns` turns never ends.
class CountingPump final : public MessagePump {
 public:
  CountingPump(VirtualTickClock& clock, uint32_t ms_per_turn) : clock_(clock), ms_per_turn_(ms_per_turn) {}
  void PumpOneMessage() override {
    FUZZ_CHECK(++turns_ <= max_turns);
    clock_.Advance(ms_per_turn_);
    if (on_turn) on_turn();
  }
  uint64_t max_turns = 1'000'000;
  std::function<void()> on_turn;

 private:
  VirtualTickClock& clock_;
  uint32_t ms_per_turn_;
  uint64_t turns_ = 0;
};

// The console's surroundings, fresh for every input.
struct FuzzHost {
  explicit FuzzHost(uint32_t ms_per_turn = 1) : pump(clock, ms_per_turn) {}
  VirtualTickClock clock{0xFFFFF000u};  // the tick counter wraps during a run
  CountingPump pump;
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, pump, log, display, prompts, state};
};

// A link whose device answers `replies` in turn, then `standing` to every
// later request.
class ScriptedLink final : public LinkTransaction {
 public:
  int Transact(const std::string& request, std::string& reply, bool) override {
    requests.push_back(request);
    if (replies.empty()) {
      reply = standing;
    } else {
      reply = replies.front();
      replies.pop_front();
    }
    return kResultOk;
  }
  std::deque<std::string> replies;
  std::string standing = "00/00/00";
  std::vector<std::string> requests;
};

// STX, the text, "/", the checksum (byte sum of text and "/", modulo 100) as
// two decimal digits, ETX: what a device sends for a reply text.
inline std::string DevicePacket(std::string_view text) {
  uint8_t sum = '/';
  for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  const unsigned checksum = sum % 100u;
  std::string packet = "\x02";
  packet += text;
  packet += '/';
  packet += static_cast<char>('0' + checksum / 10);
  packet += static_cast<char>('0' + checksum % 10);
  packet += '\x03';
  return packet;
}

// A file holding the input for as long as the object lives. Each input gets
// a file of its own: a file that is emptied and written again is flushed to
// the disk on every close (ext4), which would cost most of the run.
class InputFile {
 public:
  explicit InputFile(std::string_view content) {
    path_ = (std::filesystem::temp_directory_path() / "veritor-fuzz-XXXXXX").string();
    const int fd = mkstemp(path_.data());
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    close(fd);
  }
  ~InputFile() { unlink(path_.c_str()); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace veritor::fuzz
