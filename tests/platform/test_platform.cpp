// The console's side of a pty is the serial port; the test holds the master
// and plays the device.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/serial_speed.h"

namespace veritor {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Polls fd until done() holds; the deadline only guards against a hung test.
template <typename Done>
bool Eventually(int fd, Done done) {
  for (auto give_up = Clock::now() + std::chrono::seconds(5); Clock::now() < give_up;) {
    if (done()) return true;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 10);
  }
  return false;
}

class PtyDevice {
 public:
  PtyDevice() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    EXPECT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    path_ = ptsname(master_);
  }
  ~PtyDevice() { HangUp(); }
  const std::string& path() const { return path_; }
  void HangUp() { if (master_ >= 0) close(std::exchange(master_, -1)); }
  void Send(const Bytes& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  Bytes Receive(size_t count) {
    Bytes got;
    Eventually(master_, [&] {
      uint8_t byte;
      while (got.size() < count && read(master_, &byte, 1) == 1) got.push_back(byte);
      return got.size() == count;
    });
    return got;
  }

 private:
  int master_;
  std::string path_;
};

PortOpenResult OpenAsCom1(const PtyDevice& device, const LineSettings& settings = {}) {
  setenv("VERITOR_COM1", device.path().c_str(), 1);
  return PosixPortOpener().Open(1, settings);
}

bool WaitUntilWaiting(BytePort& port, size_t count) {
  return Eventually(port.WaitHandle(), [&] { return port.InputCount() == count; });
}

TEST(SerialDevicePath, ComesFromVeritorComOrFallsBackToTtyS) {
  struct Row { unsigned port; const char* variable; std::string expected; };
  const Row rows[] = {{1, "/dev/ttyUSB0", "/dev/ttyUSB0"}, {2, "", "/dev/ttyS1"},
                      {4, nullptr, "/dev/ttyS3"}, {0, nullptr, ""}};
  for (const Row& row : rows) {
    const std::string name = "VERITOR_COM" + std::to_string(row.port);
    row.variable ? setenv(name.c_str(), row.variable, 1) : unsetenv(name.c_str());
    EXPECT_EQ(SerialDevicePath(row.port), row.expected) << "COM" << row.port;
  }
}

// Speeds off the standard list (126000) must hold too. A pty keeps only 8N1
// and 8N2, so it also stands in for a driver that drops a format.
TEST(SerialPortOpen, LineTakesExactlyTheAskedSettingsOrIsRefusedAndLetGo) {
  struct Row { LineSettings settings; std::string reason; };
  const Row rows[] = {
      {{0, 'N', 8, 1}, "baud rate 0 is not valid"},
      {{9600, 'N', 8, 1}, ""},
      {{0x100000000ul + 9600, 'N', 8, 1}, "baud rate 4294976896 is not valid"},
      {{9600, 'X', 8, 1}, "parity must be N, E, O, M or S"},
      {{9600, 'N', 4, 1}, "data bits must be 5 to 8"},
      {{9600, 'N', 8, 3}, "stop bits must be 1 or 2"},
      {{9600, 'N', 8, 2}, ""},
      {{115200, 'N', 8, 1}, ""},
      {{126000, 'N', 8, 1}, ""},
      {{9600, 'E', 7, 1}, "cannot use 7E1 (the driver set 8N1)"},
      {{9600, 'M', 5, 2}, "cannot use 5M2 (the driver set 8N2)"},
      {{9600, 'N', 8, 1}, ""},
  };
  PtyDevice device;
  for (const Row& row : rows) {
    const auto opened = OpenAsCom1(device, row.settings);
    EXPECT_EQ(opened.port != nullptr, row.reason.empty()) << row.reason;
    EXPECT_NE(opened.reason.find(row.reason), std::string::npos) << opened.reason;
    if (opened.port) { EXPECT_EQ(ReadLineSpeed(opened.port->WaitHandle()), row.settings.baud); }
  }
}

// The console holds the pty's slave as COM1 at 115200 8N1.
class ConsoleOnPty : public testing::Test {
 protected:
  PtyDevice device;
  PortOpenResult opened = OpenAsCom1(device);
  void SetUp() override { ASSERT_TRUE(opened.port) << opened.reason; }
};

TEST_F(ConsoleOnPty, SecondOpenIsRefusedWhileTheFirstHoldsThePort) {
  const auto second = OpenAsCom1(device);
  EXPECT_FALSE(second.port);
  EXPECT_NE(second.reason.find("in use by another program"), std::string::npos) << second.reason;
  opened.port.reset();
  EXPECT_TRUE(OpenAsCom1(device).port);
}

TEST(SerialPortOpen, FailuresTellTheOperatorWhatIsWrong) {
  char plain_file[] = "/tmp/veritor-not-a-tty-XXXXXX";
  close(mkstemp(plain_file));
  const std::pair<std::string, std::string> path_and_reason[] = {
      {"/dev/no-such-serial-port", "/dev/no-such-serial-port: No such file or directory"},
      {plain_file, std::string(plain_file) + " is not a serial port"}};
  for (const auto& [path, reason] : path_and_reason) {
    setenv("VERITOR_COM1", path.c_str(), 1);
    const auto opened = PosixPortOpener().Open(1, {});
    EXPECT_TRUE(!opened.port && opened.path == path);
    EXPECT_NE(opened.reason.find(reason), std::string::npos) << opened.reason;
  }
  unlink(plain_file);
  for (int err : {EACCES, EPERM})
    EXPECT_NE(DescribeOpenFailure(err).find("usermod -aG dialout $USER"), std::string::npos) << err;
}

TEST_F(ConsoleOnPty, EveryByteCrossesUnchangedBothWaysWithoutEcho) {
  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  device.Send(all);
  ASSERT_TRUE(WaitUntilWaiting(*opened.port, 256));
  Bytes received(256);
  for (uint8_t& byte : received) ASSERT_TRUE(opened.port->ReadByte(byte));
  EXPECT_EQ(received, all);
  // Sent in reverse, so that an echo of the device's bytes would show first.
  std::reverse(all.begin(), all.end());
  for (uint8_t byte : all) ASSERT_TRUE(opened.port->WriteByte(byte));
  EXPECT_EQ(device.Receive(256), all);
}

TEST_F(ConsoleOnPty, PumpAndInputCountLeaveWaitingBytesForPurgeToDrop) {
  PollPump pump;
  pump.WatchInput(opened.port->WaitHandle());
  device.Send({0x06, 0x15, 0x05});
  ASSERT_TRUE(WaitUntilWaiting(*opened.port, 3));
  pump.PumpOneMessage();
  EXPECT_EQ(opened.port->InputCount(), 3u);
  opened.port->Purge();
  uint8_t byte = 0;
  EXPECT_FALSE(opened.port->ReadByte(byte));
  EXPECT_EQ(opened.port->InputCount(), 0u);
}

TEST_F(ConsoleOnPty, WriteGivesUpWhenTheDeviceStopsReadingAndResumesAfter) {
  size_t written = 0;
  while (written < 1'000'000 && opened.port->WriteByte(0x55)) ++written;
  ASSERT_LT(written, 1'000'000u);
  EXPECT_EQ(device.Receive(4096).size(), 4096u);
  EXPECT_TRUE(opened.port->WriteByte(0x55));
}

TEST_F(ConsoleOnPty, DeviceThatHangsUpReadsAsSilenceAndDoesNotSpinThePump) {
  device.Send({0x01, 0x02});
  device.HangUp();
  uint8_t byte = 0;
  EXPECT_FALSE(opened.port->ReadByte(byte));
  EXPECT_EQ(opened.port->InputCount(), 0u);
  EXPECT_FALSE(opened.port->WriteByte(0x05));
  // A hung-up line polls as readable for ever; each turn must still wait its
  // millisecond (a lower bound, which no machine can undercut).
  PollPump pump;
  pump.WatchInput(opened.port->WaitHandle());
  const auto start = Clock::now();
  for (int turn = 0; turn < 20; ++turn) pump.PumpOneMessage();
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace veritor
