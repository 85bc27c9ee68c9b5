// Real sockets on loopback only: the console on 127.0.0.1, simulated devices
// on 127.0.0.2 and 127.0.0.3, ports chosen by the kernel.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix_socket.h"

namespace veritor {
namespace {

constexpr Ipv4Address kConsole = 0x7F000001;
constexpr Ipv4Address kDevice = 0x7F000002;
constexpr Ipv4Address kOtherDevice = 0x7F000003;
constexpr int kWouldBlock = 10035, kNotConnected = 10057, kConnReset = 10054, kConnRefused = 10061;

// Polls fd until done() holds; the deadline only guards against a hung test.
template <typename Done>
bool Eventually(int fd, Done done) {
  for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < give_up;) {
    if (done()) return true;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 10);
  }
  return false;
}

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  return ntohs(a.sin_port);
}

std::unique_ptr<DatagramSocket> BoundUdp(Ipv4Address address, uint16_t port = 0) {
  std::unique_ptr<DatagramSocket> socket;
  EXPECT_EQ(PosixNetwork().OpenDatagramSocket(socket), 0);
  EXPECT_EQ(socket->Bind(address, port), 0);
  return socket;
}

void Send(DatagramSocket& from, Ipv4Address to, uint16_t port, const std::string& text) {
  size_t sent = 0;
  ASSERT_EQ(from.SendTo(to, port, text.data(), text.size(), sent), 0);
  ASSERT_EQ(sent, text.size());
}

// Waits for the next datagram and gives its size as the socket reports it.
size_t NextSize(DatagramSocket& socket) {
  bool pending = false;
  size_t size = 0;
  EXPECT_TRUE(Eventually(socket.WaitHandle(), [&] { return socket.NextDatagram(pending, size) == 0 && pending; }));
  return size;
}

bool QueueEmpty(DatagramSocket& socket) {
  bool pending = true;
  size_t size = 0;
  return socket.NextDatagram(pending, size) == 0 && !pending;
}

std::string Receive(DatagramSocket& socket, Ipv4Address* sender = nullptr) {
  std::string text(NextSize(socket), '\0');
  size_t length = 0;
  Ipv4Address from = 0;
  EXPECT_EQ(socket.ReceiveFrom(text.data(), text.size(), length, from), 0);
  if (sender) *sender = from;
  return text;
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

TEST(DatagramSocket, ConsoleAndDeviceOnTheirOwnLoopbackAddressesSeeEachOtherAsSender) {
  auto console = BoundUdp(kConsole);
  auto device = BoundUdp(kDevice);
  Send(*console, kDevice, BoundPort(device->WaitHandle()), "ENQ");
  Ipv4Address sender = 0;
  EXPECT_EQ(Receive(*device, &sender), "ENQ");
  EXPECT_EQ(sender, kConsole);
  Send(*device, kConsole, BoundPort(console->WaitHandle()), "ACK");
  EXPECT_EQ(Receive(*console, &sender), "ACK");
  EXPECT_EQ(sender, kDevice);
}

TEST(DatagramSocket, EmptyDatagramIsPendingWithSizeZeroAndTheLargestIsTakenWholeIntoASmallBuffer) {
  auto console = BoundUdp(kConsole);
  auto device = BoundUdp(kDevice);
  uint16_t port = BoundPort(console->WaitHandle());
  std::string largest(65507, 'x');
  largest[0] = 'S';
  Send(*device, kConsole, port, "");
  Send(*device, kConsole, port, largest);
  size_t sent = 0;
  EXPECT_EQ(device->SendTo(kConsole, port, largest.data(), largest.size() + 1, sent), 10040);

  EXPECT_EQ(Receive(*console), "");
  EXPECT_EQ(NextSize(*console), 65507u);
  char buffer[512];
  size_t length = 0;
  Ipv4Address sender = 0;
  EXPECT_EQ(console->ReceiveFrom(buffer, sizeof buffer, length, sender), 0);
  EXPECT_EQ(length, 65507u);
  EXPECT_EQ(std::string(buffer, 2), "Sx");
  EXPECT_TRUE(QueueEmpty(*console));
}

TEST(DatagramSocket, DeviceOnItsOwnAddressSharesThePortWithAConsoleOnAnyAddress) {
  auto device = BoundUdp(kDevice);
  uint16_t port = BoundPort(device->WaitHandle());
  auto console = BoundUdp(kAnyAddress, port);
  auto other = BoundUdp(kOtherDevice);
  Send(*other, kDevice, port, "to device");
  Send(*other, kConsole, port, "to console");
  EXPECT_EQ(Receive(*device), "to device");
  EXPECT_EQ(Receive(*console), "to console");
}

class Listener {
 public:
  // Bound only, a port where nothing listens; or listening, never accepting
  // unless asked.
  explicit Listener(bool listening) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kDevice);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_TRUE(!listening || listen(fd_, 1) == 0);
    port_ = BoundPort(fd_);
  }
  ~Listener() { close(fd_); }
  uint16_t port() const { return port_; }
  int Accept() {
    int peer = -1;
    Eventually(fd_, [&] { return (peer = accept(fd_, nullptr, nullptr)) >= 0; });
    return peer;
  }

 private:
  int fd_;
  uint16_t port_ = 0;
};

std::unique_ptr<StreamSocket> Connected(uint16_t port) {
  std::unique_ptr<StreamSocket> socket;
  EXPECT_EQ(PosixNetwork().OpenStreamSocket(socket), 0);
  EXPECT_EQ(socket->StartConnect(kDevice, port), 0);
  bool connected = false;
  EXPECT_TRUE(Eventually(socket->WaitHandle(), [&] { return socket->CheckConnected(connected) == 0 && connected; }));
  return socket;
}

TEST(StreamSocket, ConnectToAClosedPortFailsWithConnRefusedAndNeverTurnsIntoSuccess) {
  Listener bound_only(false);
  std::unique_ptr<StreamSocket> socket;
  ASSERT_EQ(PosixNetwork().OpenStreamSocket(socket), 0);
  bool connected = true;
  EXPECT_EQ(socket->CheckConnected(connected), kNotConnected);
  int started = socket->StartConnect(kDevice, bound_only.port());
  EXPECT_TRUE(started == 0 || started == kConnRefused);
  int result = 0;
  EXPECT_TRUE(Eventually(socket->WaitHandle(), [&] { return (result = socket->CheckConnected(connected)) != 0; }));
  EXPECT_EQ(result, kConnRefused);
  EXPECT_EQ(socket->CheckConnected(connected), kConnRefused);
  EXPECT_FALSE(connected);
}

TEST(StreamSocket, ConsoleAndDeviceExchangeBytesUntilTheDeviceCloses) {
  Listener listener(true);
  auto console = Connected(listener.port());
  int device = listener.Accept();
  ASSERT_GE(device, 0);
  char buffer[8] = {};
  size_t length = 1;
  EXPECT_EQ(console->Receive(buffer, sizeof buffer, length), kWouldBlock);
  EXPECT_EQ(length, 0u);

  size_t sent = 0;
  EXPECT_EQ(console->Send("hello", 5, sent), 0);
  EXPECT_EQ(sent, 5u);
  EXPECT_TRUE(Eventually(device, [&] { return read(device, buffer, sizeof buffer) == 5; }));
  ASSERT_EQ(write(device, "world", 5), 5);
  size_t count = 0;
  EXPECT_TRUE(Eventually(console->WaitHandle(), [&] { return console->Pending(count) == 0 && count == 5; }));
  EXPECT_EQ(console->Receive(buffer, 0, length), 10022) << "0 bytes would read as the device closing";
  EXPECT_EQ(console->Receive(buffer, 3, length), 0);
  EXPECT_EQ(std::string(buffer, length), "wor");
  EXPECT_EQ(console->Receive(buffer, sizeof buffer, length), 0);
  EXPECT_EQ(std::string(buffer, length), "ld");

  close(device);
  int result = -1;
  EXPECT_TRUE(Eventually(console->WaitHandle(), [&] { return (result = console->Receive(buffer, sizeof buffer, length)) != kWouldBlock; }));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 0u);
  // Without MSG_NOSIGNAL the second send would end the process by SIGPIPE.
  int first = console->Send("x", 1, sent);
  int second = first != 0 ? first : console->Send("x", 1, sent);
  EXPECT_EQ(second, kConnReset);
}

TEST(StreamSocket, ListenerThatNeverAcceptsStillConnectsAndAFullLineTakesPartOfASend) {
  Listener listener(true);
  auto console = Connected(listener.port());
  std::vector<uint8_t> data(64 << 20);
  size_t sent = 0;
  EXPECT_EQ(console->Send(data.data(), data.size(), sent), 0);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, data.size());
  int result = 0;
  EXPECT_TRUE(Eventually(console->WaitHandle(), [&] { return (result = console->Send(data.data(), 1, sent)) != 0; }));
  EXPECT_EQ(result, kWouldBlock);
  EXPECT_EQ(sent, 0u);
}

}  // namespace
}  // namespace veritor
