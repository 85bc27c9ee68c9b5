// bench_net: the console's CPU cost on the network links against veritor-sim
// over loopback: CPU time per "v" request on SDNP, TCP and UDP, and CPU use
// during a device detection (4 s of broadcasts). The detection runs only in
// a network namespace that holds nothing but lo; bench/net_bench.sh makes one.
// Usage: bench_net [REQUESTS]

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "session/console_links.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "bench/bench_clock.h"
#include "tests/support/process.h"
#include "tests/support/test_host.h"

namespace {

using namespace veritor;
using bench::CpuSeconds;
using bench::WallSeconds;

struct Console : test::HostRecorders {
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener opener;
  PosixNetwork network;
  Host host = HostOn(clock, pump);
  ConsoleLinks links{host, opener, network, "/nonexistent/"};
};

bool OnlyLoopback() {
  std::ifstream devices("/proc/self/net/dev");
  std::string line;
  while (std::getline(devices, line))
    if (line.find(':') != std::string::npos && line.find("lo:") == std::string::npos) return false;
  return true;
}

bool MeasureLink(const char* name, int link, int requests) {
  Console console;
  if (!console.links.Connect(link, 0, "127.0.0.31", false).connected) {
    std::fprintf(stderr, "bench_net: %s: no connection\n", name);
    return false;
  }
  std::string data;
  const double cpu_start = CpuSeconds(), wall_start = WallSeconds();
  for (int i = 0; i < requests; ++i) {
    if (console.links.executor().ExecuteCommand("v", data, false) != kResultOk) {
      std::fprintf(stderr, "bench_net: %s: request %d failed\n", name, i);
      return false;
    }
  }
  const double cpu = CpuSeconds() - cpu_start, wall = WallSeconds() - wall_start;
  std::printf("%-5s %d requests: console CPU %.1f us per request, wall %.1f us per request\n", name, requests,
              cpu / requests * 1e6, wall / requests * 1e6);
  console.links.Disconnect();
  return true;
}

void MeasureDetection() {
  if (!OnlyLoopback()) {
    std::printf("detection: skipped (broadcasts only inside a private namespace: bench/net_bench.sh)\n");
    return;
  }
  Console console;
  std::vector<Ipv4Address> devices;
  const double cpu_start = CpuSeconds(), wall_start = WallSeconds();
  console.links.DetectNetworkDevices(devices);
  const double cpu = CpuSeconds() - cpu_start, wall = WallSeconds() - wall_start;
  std::printf("detection: %zu device(s) in %.2f s, console CPU %.2f%% of a core\n", devices.size(), wall,
              cpu / wall * 100);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("VERITOR_BIN") == nullptr) {
    const std::string self(argv[0]);
    const size_t slash = self.rfind('/');
    setenv("VERITOR_BIN", slash == std::string::npos ? "." : self.substr(0, slash).c_str(), 1);
  }
  const int requests = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 2000;
  test::SimulatorProcess simulator({"--no-serial", "--sdnp", "127.0.0.31", "--tcp", "127.0.0.31", "--udp", "127.0.0.31"},
                                   3);
  if (!simulator.ready(3)) {
    std::fprintf(stderr, "bench_net: veritor-sim did not start\n");
    return 1;
  }
  const bool ok = MeasureLink("SDNP", kLinkSdnp, requests) && MeasureLink("TCP", kLinkTcp, requests) &&
                  MeasureLink("UDP", kLinkUdp, requests);
  MeasureDetection();
  return ok ? 0 : 1;
}
