// The platform layer on the real thing. Serial: the console's side of a pty
// is the port, the test holds the master and plays the device. Sockets: on
// loopback only, the console on 127.0.0.1, the device on 127.0.0.2, ports
// chosen by the kernel.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cerrno>
#include <chrono>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "platform/serial_enum.h"
#include "platform/serial_speed.h"
#include "tests/support/temp_dir.h"

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

// The device's end of a pty; the console's side is COM1.
class PtyDevice {
 public:
  PtyDevice() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    EXPECT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    setenv("VERITOR_COM1", ptsname(master_), 1);
  }
  ~PtyDevice() { HangUp(); }
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
};

PortOpenResult OpenCom1(const LineSettings& settings = {}) { return PosixPortOpener().Open(1, settings); }

// Speeds off the standard list (126000) must hold too. A pty keeps only 8N1
// and 8N2, so it also stands in for a driver that drops a format. A port in
// use is refused until its holder lets it go.
TEST(SerialPortOpen, LineTakesExactlyTheAskedSettingsOrIsRefusedWithTheReason) {
  struct Row { const char* path; LineSettings settings; std::string reason; };  // path: the pty when null
  const Row rows[] = {
      {nullptr, {0, 'N', 8, 1}, "baud rate 0 is not valid"},
      {nullptr, {0x100000000ul + 9600, 'N', 8, 1}, "baud rate 4294976896 is not valid"},
      {nullptr, {9600, 'N', 8, 2}, ""},
      {nullptr, {115200, 'N', 8, 1}, ""},
      {nullptr, {126000, 'N', 8, 1}, ""},
      {nullptr, {9600, 'E', 7, 1}, "cannot use 7E1 (the driver set 8N1)"},
      {nullptr, {9600, 'M', 5, 2}, "cannot use 5M2 (the driver set 8N2)"},
      {"/dev/no-such-serial-port", {}, "/dev/no-such-serial-port: No such file or directory"},
      {"/dev/null", {}, "/dev/null is not a serial port"},
      {nullptr, {9600, 'N', 8, 1}, ""},
  };
  PtyDevice device;
  const std::string pty = getenv("VERITOR_COM1");
  for (const Row& row : rows) {
    setenv("VERITOR_COM1", row.path ? row.path : pty.c_str(), 1);
    const auto opened = OpenCom1(row.settings);
    EXPECT_EQ(opened.port != nullptr, row.reason.empty()) << row.reason;
    EXPECT_EQ(opened.path, row.path ? row.path : pty);
    EXPECT_NE(opened.reason.find(row.reason), std::string::npos) << opened.reason;
    if (opened.port) { EXPECT_EQ(ReadLineSpeed(opened.port->WaitHandle()), row.settings.baud); }
  }
  for (int err : {EACCES, EPERM})
    EXPECT_NE(DescribeOpenFailure(err).find("usermod -aG dialout $USER"), std::string::npos) << err;
  auto first = OpenCom1();
  ASSERT_TRUE(first.port);
  const auto second = OpenCom1();
  EXPECT_FALSE(second.port);
  EXPECT_NE(second.reason.find("in use by another program"), std::string::npos) << second.reason;
  first.port.reset();
  EXPECT_TRUE(OpenCom1().port);
}

// The console holds the pty's other end as COM1 at 115200 8N1.
TEST(SerialPort, BytesCrossUnchangedPurgeDropsAFullLineRefusesAndAHangUpReadsAsSilence) {
  PtyDevice device;
  const PortOpenResult opened = OpenCom1();
  ASSERT_TRUE(opened.port) << opened.reason;
  BytePort& port = *opened.port;
  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  device.Send(all);
  ASSERT_TRUE(Eventually(port.WaitHandle(), [&] { return port.InputCount() == 256; }));
  Bytes received(256);
  for (uint8_t& byte : received) ASSERT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(received, all);
  // Sent in reverse, so that an echo of the device's bytes would show first.
  std::reverse(all.begin(), all.end());
  for (uint8_t byte : all) ASSERT_TRUE(port.WriteByte(byte));
  EXPECT_EQ(device.Receive(256), all);

  // A pump turn and InputCount leave the waiting bytes for Purge to drop.
  PollPump pump;
  pump.WatchInput(port.WaitHandle());
  device.Send({0x06, 0x15, 0x05});
  ASSERT_TRUE(Eventually(port.WaitHandle(), [&] { return port.InputCount() == 3; }));
  pump.PumpOneMessage();
  EXPECT_EQ(port.InputCount(), 3u);
  port.Purge();
  uint8_t byte = 0;
  EXPECT_FALSE(port.ReadByte(byte));
  EXPECT_EQ(port.InputCount(), 0u);

  // A device that stops reading: writes give up rather than block, and go on
  // once it reads again.
  size_t written = 0;
  while (written < 1'000'000 && port.WriteByte(0x55)) ++written;
  ASSERT_LT(written, 1'000'000u);
  EXPECT_EQ(device.Receive(4096).size(), 4096u);
  EXPECT_TRUE(port.WriteByte(0x55));

  device.Send({0x01, 0x02});
  device.HangUp();
  EXPECT_FALSE(port.ReadByte(byte));
  EXPECT_EQ(port.InputCount(), 0u);
  EXPECT_FALSE(port.WriteByte(0x05));
  // A hung-up line polls as readable for ever; each turn must still wait its
  // millisecond (a lower bound, which no machine can undercut).
  const auto start = Clock::now();
  for (int turn = 0; turn < 20; ++turn) pump.PumpOneMessage();
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

// --- Sockets ---------------------------------------------------------------------

constexpr Ipv4Address kConsole = 0x7F000001;
constexpr Ipv4Address kDevice = 0x7F000002;
constexpr int kWouldBlock = 10035, kNotConnected = 10057, kConnReset = 10054, kConnRefused = 10061;

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  return ntohs(a.sin_port);
}

// Waits for the next datagram and gives its size as the socket reports it.
size_t NextSize(DatagramSocket& socket) {
  bool pending = false;
  size_t size = 0;
  EXPECT_TRUE(Eventually(socket.WaitHandle(), [&] { return socket.NextDatagram(pending, size) == 0 && pending; }));
  return size;
}

TEST(SocketErrors, ErrnoReadsAsTheWindowsSocketsCodeTheOperatorsKnow) {
  struct Row { int err; int code; };
  const Row rows[] = {
      {0, 0},           {EINTR, 10004},        {EAGAIN, kWouldBlock}, {EINPROGRESS, 10036},
      {EMSGSIZE, 10040}, {ECONNRESET, kConnReset}, {EPIPE, kConnReset}, {ENOTCONN, kNotConnected},
      {ECONNREFUSED, kConnRefused}, {EREMOTE, 10071}, {ENOMEM, 0x1000C}, {EPERM, 0x10001},
  };
  for (const auto& row : rows) EXPECT_EQ(WsaErrorFromErrno(row.err), row.code) << "errno " << row.err;
}

// The console bound to any address shares its port with a device bound to its
// own, and takes datagrams whole whatever their size, with the sender's
// address. An empty datagram is pending with size 0.
TEST(DatagramSocket, DatagramsOfAnySizeAreTakenWholeWithTheirSender) {
  std::unique_ptr<DatagramSocket> device, console;
  for (auto* socket : {&device, &console}) ASSERT_EQ(PosixNetwork().OpenDatagramSocket(*socket), 0);
  ASSERT_EQ(device->Bind(kDevice, 0), 0);
  const uint16_t port = BoundPort(device->WaitHandle());
  ASSERT_EQ(console->Bind(kAnyAddress, port), 0);
  std::string largest(65507, 'x');
  largest[0] = 'S';
  size_t sent = 0;
  ASSERT_EQ(device->SendTo(kConsole, port, "", 0, sent), 0);
  ASSERT_EQ(device->SendTo(kConsole, port, largest.data(), largest.size(), sent), 0);
  EXPECT_EQ(sent, largest.size());
  EXPECT_EQ(device->SendTo(kConsole, port, largest.data(), largest.size() + 1, sent), 10040);

  char buffer[512];
  size_t length = 0;
  Ipv4Address sender = 0;
  for (size_t size : {size_t{0}, size_t{65507}}) {
    EXPECT_EQ(NextSize(*console), size);
    EXPECT_EQ(console->ReceiveFrom(buffer, sizeof buffer, length, sender), 0);
    EXPECT_EQ(length, size);
    EXPECT_EQ(sender, kDevice);
  }
  EXPECT_EQ(std::string(buffer, 2), "Sx");
  bool pending = true;
  EXPECT_EQ(console->NextDatagram(pending, length), 0);
  EXPECT_FALSE(pending);
}

// Where the device's port is bound but nothing listens the connect is refused,
// and stays refused. Once the device listens, its closing reads as 0 bytes,
// and a send after that fails with ECONNRESET.
TEST(StreamSocket, RefusedConnectAndAnExchangeUntilTheDeviceClosesWithoutSigpipe) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(kDevice);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  std::unique_ptr<StreamSocket> console;
  ASSERT_EQ(PosixNetwork().OpenStreamSocket(console), 0);
  console->StartConnect(kDevice, BoundPort(listener));
  bool connected = true;
  int result = 0;
  EXPECT_TRUE(Eventually(console->WaitHandle(), [&] { return (result = console->CheckConnected(connected)) != 0; }));
  EXPECT_EQ(result, kConnRefused);
  EXPECT_EQ(console->CheckConnected(connected), kConnRefused);
  EXPECT_FALSE(connected);

  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(PosixNetwork().OpenStreamSocket(console), 0);
  EXPECT_EQ(console->StartConnect(kDevice, BoundPort(listener)), 0);
  EXPECT_TRUE(Eventually(console->WaitHandle(), [&] { return console->CheckConnected(connected) == 0 && connected; }));
  int device = -1;
  ASSERT_TRUE(Eventually(listener, [&] { return (device = accept(listener, nullptr, nullptr)) >= 0; }));
  close(device);
  char buffer[8];
  size_t sent = 0, length = 0;
  EXPECT_TRUE(Eventually(console->WaitHandle(), [&] {
    return (result = console->Receive(buffer, sizeof buffer, length)) != kWouldBlock;
  }));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 0u);
  // Without MSG_NOSIGNAL the second send would end the process by SIGPIPE.
  const int first = console->Send("x", 1, sent);
  EXPECT_EQ(first != 0 ? first : console->Send("x", 1, sent), kConnReset);
  close(listener);
}

// A /dev of our own: serial nodes of each kind in a scrambled order, other
// nodes, and by-id links, one of them to a node that has gone.
TEST(SerialEnumeration, ListsSerialNodesInNaturalOrderWithTheirByIdNames) {
  test::TempDir dev;
  for (const char* name : {"ttyS10", "ttyUSB1", "ttyS2", "ttyACM0", "ttyUSB0", "tty0", "ttySx", "null", "ttyS"})
    test::WriteFile(dev.file(name), "");
  // ttyS3 is a port the kernel keeps without a UART behind it.
  test::WriteFile(dev.file("ttyS3"), "");
  for (const auto& [name, type] : {std::pair{"ttyS2", "4\n"}, {"ttyS3", "0\n"}}) {
    std::filesystem::create_directories(dev.file("sys/") + name);
    test::WriteFile(dev.file("sys/") + name + "/type", type);
  }
  std::filesystem::create_directories(dev.file("serial/by-id"));
  std::filesystem::create_symlink("../../ttyUSB1", dev.file("serial/by-id/usb-Maker_Adapter_B-port0"));
  std::filesystem::create_symlink("../../ttyUSB1", dev.file("serial/by-id/usb-Maker_Adapter_A-port0"));
  std::filesystem::create_symlink("../../ttyUSB7", dev.file("serial/by-id/usb-gone-port0"));
  std::vector<std::string> listed;
  for (const SerialDeviceEntry& device : ListSerialDevices(dev.path(), dev.file("sys"))) {
    listed.push_back(device.path.substr(dev.path().size()));
    for (const std::string& name : device.by_id) listed.push_back(std::filesystem::path(name).filename().string());
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"/ttyS2", "/ttyS10", "/ttyUSB0", "/ttyUSB1",
                                               "usb-Maker_Adapter_A-port0", "usb-Maker_Adapter_B-port0", "/ttyACM0"}));
  EXPECT_TRUE(ListSerialDevices(dev.file("none")).empty());
}

}  // namespace
}  // namespace veritor
