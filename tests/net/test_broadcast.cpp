// Device detection by broadcast, end to end through veritor-cli. It runs only
// inside network namespaces of its own (see CMakeLists.txt): one with only lo,
// where a broadcast loops back and reaches nothing else, against simulated
// devices on 127.0.0.2 and 127.0.0.3; and one with two veth pairs and no
// default route, against devices written from the wire bytes. It refuses to
// run where any other interface exists.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "tests/support/process.h"

namespace veritor {
namespace {

// The interfaces of this process's own namespace (/sys may show another's).
std::set<std::string> Interfaces() {
  std::ifstream devices("/proc/self/net/dev");
  std::string line;
  std::set<std::string> names;
  while (std::getline(devices, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;  // the two heading lines
    const size_t start = line.find_first_not_of(' ');
    names.insert(line.substr(start, colon - start));
  }
  return names;
}

bool OnlyLoopbackExists() { return Interfaces() == std::set<std::string>{"lo"}; }

TEST(Broadcast, TwoDevicesAreEachListedOnceAndTheFirstIsUsed) {
  ASSERT_TRUE(OnlyLoopbackExists()) << "refusing to broadcast: this namespace has interfaces besides lo";
  test::SimulatorProcess first({"--no-serial", "--sdnp", "127.0.0.2"}, 1);
  test::SimulatorProcess second({"--no-serial", "--sdnp", "127.0.0.3"}, 1);
  ASSERT_TRUE(first.ready(1) && second.ready(1));
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "sdnp", "--detect", "v"});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string& out = result.out;
  const size_t two = out.find("- Detected ip 127.0.0.2\n"), three = out.find("- Detected ip 127.0.0.3\n");
  ASSERT_NE(two, std::string::npos) << out;
  ASSERT_NE(three, std::string::npos) << out;
  EXPECT_EQ(out.find("- Detected ip 127.0.0.2\n", two + 1), std::string::npos) << "listed once";
  EXPECT_EQ(out.find("- Detected ip", std::max(two, three) + 1), std::string::npos) << "nobody else";
  EXPECT_NE(out.find("2 devices responded\n"), std::string::npos);
  const std::string chosen = two < three ? "127.0.0.2" : "127.0.0.3";
  EXPECT_NE(out.find("init connection with " + chosen + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Device info: [VERITOR-SIM/2.24/SN 000001]\n"), std::string::npos);
}

// Addresses that reach every device of a network, or none, are refused on
// every link before anything is sent; a detection that finds nobody says so.
TEST(Broadcast, AddressesThatReachEveryDeviceAreRefusedAndAnEmptyDetectionSaysSo) {
  ASSERT_TRUE(OnlyLoopbackExists()) << "refusing to broadcast: this namespace has interfaces besides lo";
  const struct {
    const char* link;
    const char* address;
    const char* line;
  } cases[] = {
      {"sdnp", "255.255.255.255",
       "SDNP: 255.255.255.255 is the broadcast address, which reaches every device; nothing sent"},
      {"sdnp", "127.255.255.255",
       "SDNP: 127.255.255.255 is the broadcast address of the network on lo, which reaches every device on it; "
       "nothing sent"},
      {"udp", "127.255.255.255",
       "UDP: 127.255.255.255 is the broadcast address of the network on lo, which reaches every device on it; "
       "nothing sent"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.link) + " " + c.address);
    const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", c.link, "--address", c.address, "v"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.out.find(std::string(c.line) + "\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("init connection"), std::string::npos) << result.out;
  }
  const auto nobody = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "sdnp", "--detect", "v"});
  EXPECT_EQ(nobody.exit_status, 2);
  EXPECT_NE(nobody.out.find("0 devices responded\nNo device answered the detection; nothing sent\n"),
            std::string::npos)
      << nobody.out;
}

// A second simulator on an address and port one already serves would share
// the console's datagrams with it: it is refused, as TCP's listener is.
TEST(Simulator, ASecondSimulatorOnTheSameDatagramAddressExitsWithStatusOne) {
  ASSERT_TRUE(OnlyLoopbackExists());
  for (const char* service : {"--udp", "--sdnp"}) {
    SCOPED_TRACE(service);
    test::SimulatorProcess first({"--no-serial", service, "127.0.0.4"}, 1);
    ASSERT_TRUE(first.ready(1));
    const auto second = test::RunProgram({test::BinaryPath("veritor-sim"), "--no-serial", service, "127.0.0.4"});
    EXPECT_EQ(second.exit_status, 1) << second.err;
    EXPECT_NE(second.err.find("127.0.0.4"), std::string::npos) << second.err;
    test::SimulatorProcess other({"--no-serial", service, "127.0.0.5"}, 1);
    EXPECT_TRUE(other.ready(1)) << "another address is free";
  }
}

// --- Two networks, no default route ----------------------------------------

// An SDNP device from the wire bytes: it hears the broadcasts of one network
// (a socket bound to its broadcast address) and answers each QRY with an ACT
// carrying the query's fsn, from its own address.
class QueryAnsweringDevice {
 public:
  QueryAnsweringDevice(const char* broadcast, const char* own)
      : listen_(Bound(broadcast)), answer_(Bound(own)), thread_([this] { Run(); }) {}
  ~QueryAnsweringDevice() {
    stop_ = true;
    thread_.join();
    close(listen_);
    close(answer_);
  }
  std::atomic<int> queries{0};

 private:
  static int Bound(const char* address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(24222);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << address;
    return fd;
  }
  void Run() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      unsigned char frame[600];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n = recvfrom(listen_, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n < 12 || frame[0] != 0x8F || frame[1] != 0xE1 || frame[4] != 0x00) continue;
      ++queries;
      // id 0x7A2D, the query's fsn, ACT, no payload: data checksum 0xAA55,
      // then the header checksum, 0xAA55 plus bytes 0 to 9.
      unsigned char act[12] = {0x2D, 0x7A, frame[2], frame[3], 0x01, 0x00, 0x00, 0x00, 0x55, 0xAA, 0, 0};
      unsigned sum = 0xAA55;
      for (int i = 0; i < 10; ++i) sum += act[i];
      act[10] = static_cast<unsigned char>(sum & 0xFF);
      act[11] = static_cast<unsigned char>((sum >> 8) & 0xFF);
      sendto(answer_, act, sizeof act, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
  }
  int listen_, answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(TwoNetworks, DetectionAsksOnEveryNetworkWithoutADefaultRoute) {
  ASSERT_EQ(Interfaces(), (std::set<std::string>{"lo", "va", "vb", "wa", "wb"}))
      << "refusing to broadcast outside the namespace made for this test";
  QueryAnsweringDevice first("10.1.0.255", "10.1.0.2"), second("10.2.0.255", "10.2.0.2");
  const auto result = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "sdnp", "--detect"});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("- Detected ip 10.1.0.2\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("- Detected ip 10.2.0.2\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("2 devices responded\n"), std::string::npos) << result.out;
  EXPECT_GE(first.queries, 8);
  EXPECT_GE(second.queries, 8);
  const auto refused = test::RunProgram({test::BinaryPath("veritor-cli"), "--link", "udp", "--address", "10.2.0.255", "v"});
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_NE(refused.out.find("UDP: 10.2.0.255 is the broadcast address of the network on w"), std::string::npos)
      << refused.out;
}

}  // namespace
}  // namespace veritor
