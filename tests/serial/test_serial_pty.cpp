#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "serial/serial_ports.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

// The port table on a real pty, the test holding the device's end.
class SerialPortsOnAPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    for (int port = 1; port <= 12; ++port)
      setenv(("VERITOR_COM" + std::to_string(port)).c_str(), ptsname(master_), 1);
  }
  void TearDown() override {
    close(master_);
    for (int port = 1; port <= 12; ++port) unsetenv(("VERITOR_COM" + std::to_string(port)).c_str());
  }
  uint8_t DeviceReads() {
    pollfd p{master_, POLLIN, 0};
    uint8_t byte = 0xEE;
    if (poll(&p, 1, 5000) == 1 && read(master_, &byte, 1) != 1) byte = 0xEE;
    return byte;
  }

  int master_ = -1;
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener opener;
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, pump, log, display, prompts, state};
};

TEST_F(SerialPortsOnAPty, OnlyPortsOneToFourOpenAndEachOnlyOnce) {
  SerialPorts ports(host, opener);
  for (int port : {0, 5, 6, 7, 8, 9, 10, 11, 12}) EXPECT_EQ(ports.OpenPort(port, 115200, 'N', 8, 1), 0) << port;
  EXPECT_TRUE(sink.entries.empty()) << "refused before anything is opened";

  EXPECT_EQ(ports.OpenPort(1, 126000, 'N', 8, 1), 1);
  EXPECT_EQ(ports.OpenPort(1, 9600, 'N', 8, 1), 1) << "already open: kept as it is";

  SerialPorts other_program(host, opener);
  EXPECT_EQ(other_program.OpenPort(1, 115200, 'N', 8, 1), 0);
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_NE(sink.entries[0].find("COM1: "), std::string::npos);
  EXPECT_NE(sink.entries[0].find("in use by another program"), std::string::npos) << sink.entries[0];

  ports.ClosePort(1);
  ports.ClosePort(1);
  EXPECT_EQ(other_program.OpenPort(1, 115200, 'N', 8, 1), 1) << "free again after the close";
}

TEST_F(SerialPortsOnAPty, ANulByteIsCarriedBothWays) {
  SerialPorts ports(host, opener);
  ASSERT_EQ(ports.OpenPort(1, 126000, 'N', 8, 1), 1);
  const uint8_t bytes[] = {0x00, 0x41};
  ASSERT_EQ(write(master_, bytes, 2), 2);
  ASSERT_EQ(ports.WaitForInput(5000), 1);
  EXPECT_EQ(ports.ReadPortByte(1), 0x00);
  ASSERT_EQ(ports.WaitForInput(5000), 1);
  EXPECT_EQ(ports.ReadPortByte(1), 0x41);
  EXPECT_EQ(ports.InputCount(1), 0u);

  ports.WritePortByte(1, 0x00);
  EXPECT_EQ(DeviceReads(), 0x00);
}

}  // namespace
}  // namespace veritor
