// Device detection by broadcast, end to end: veritor-cli against simulated
// devices on 127.0.0.2 and 127.0.0.3. It runs only inside a network namespace
// of its own, where a broadcast loops back on lo and reaches nothing else
// (see CMakeLists.txt); it refuses to run where any other interface exists.

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/process.h"

namespace veritor {
namespace {

// The interfaces of this process's own namespace (/sys may show another's).
bool OnlyLoopbackExists() {
  std::ifstream devices("/proc/self/net/dev");
  std::string line;
  int interfaces = 0;
  while (std::getline(devices, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;  // the two heading lines
    const size_t start = line.find_first_not_of(' ');
    if (line.substr(start, colon - start) != "lo") return false;
    ++interfaces;
  }
  return interfaces == 1;
}

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

}  // namespace
}  // namespace veritor
