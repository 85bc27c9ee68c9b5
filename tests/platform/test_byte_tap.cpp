// The byte tap between the links and the ports and sockets.
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <utility>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/byte_tap.h"
#include "tests/support/temp_dir.h"

namespace veritor {
namespace {

// A port that hands out scripted input and keeps what was written.
struct ScriptedPort final : BytePort {
  std::deque<uint8_t> input;
  std::string written;
  size_t InputCount() override { return input.size(); }
  bool ReadByte(uint8_t& byte) override {
    if (input.empty()) return false;
    byte = input.front();
    input.pop_front();
    return true;
  }
  bool WriteByte(uint8_t byte) override {
    written += static_cast<char>(byte);
    return true;
  }
  void Purge() override {}
};

struct ScriptedOpener final : PortOpener {
  std::vector<std::string> opened;
  ScriptedPort* last = nullptr;
  PortOpenResult Open(unsigned n, const LineSettings&) override { return Made("COM" + std::to_string(n)); }
  PortOpenResult OpenPath(const std::string& path, const LineSettings&) override { return Made(path); }
  PortOpenResult Made(const std::string& name) {
    opened.push_back(name);
    auto port = std::make_unique<ScriptedPort>();
    last = port.get();
    return {std::move(port), name, {}};
  }
};

struct FrameLog final : ByteTap {
  std::vector<std::string> frames;
  void OnFrame(const char* link, TapDirection direction, const uint8_t* data, size_t length) override {
    frames.push_back(std::string(link) + (direction == TapDirection::kSent ? ">" : "<") +
                     std::string(reinterpret_cast<const char*>(data), length));
  }
};

// Control bytes are frames of their own, a packet runs from STX to ETX, a turn of direction or a purge ends an
// unfinished one, and every byte still reaches the port; with the tap off nothing is gathered, and a chosen device
// path opens in the place of its port number.
TEST(ByteTap, GathersSerialFramesOnlyWhileATapIsSet) {
  ScriptedOpener inner;
  TapSwitch tap;
  TappingPortOpener opener(inner, tap);
  opener.SetDevicePath(1, "/dev/ttyUSB0");
  PortOpenResult opened = opener.Open(1, {});
  ScriptedPort& device = *inner.last;
  opener.SetDevicePath(1, {});
  opener.Open(1, {});
  EXPECT_EQ(inner.opened, (std::vector<std::string>{"/dev/ttyUSB0", "COM1"}));

  FrameLog log;
  BytePort& port = *opened.port;
  port.WriteByte(0x05);  // unseen: no tap yet
  tap.tap = &log;
  const std::string packet = "\x02?/01\x03";
  for (char c : std::string("\x05") + packet) port.WriteByte(static_cast<uint8_t>(c));
  for (uint8_t byte : {0x06, 0x02, 0x61, 0x62}) device.input.push_back(byte);
  uint8_t byte = 0;
  while (port.ReadByte(byte)) {
  }
  port.WriteByte(0x15);
  device.input.push_back(0x02);
  port.ReadByte(byte);
  port.Purge();
  EXPECT_EQ(log.frames, (std::vector<std::string>{"serial>\x05", "serial>" + packet, "serial<\x06", "serial<\x02" "ab",
                                                  "serial>\x15", "serial<\x02"}));
  EXPECT_EQ(device.written, "\x05\x05" + packet + "\x15");
  log.frames.clear();
  tap.tap = nullptr;
  port.WriteByte(0x06);
  EXPECT_TRUE(log.frames.empty());
}

}  // namespace
}  // namespace veritor
