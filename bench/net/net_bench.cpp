// bench_net: the console's CPU cost on the network links against veritor-sim
// over loopback: CPU time per "v" request on SDNP, TCP and UDP (and the wall
// time per request of TCP beside UDP's), and CPU use during a device
// detection (4 s of broadcasts). The detection runs only in
// a network namespace that holds nothing but lo; bench/net_bench.sh makes one.
// Then requests per second on TCP and UDP, side by side, against a device
// written here from the wire bytes that answers at once, on TCP with replies
// that end in CR LF.
// Usage: bench_net [REQUESTS]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "net/ipv4_text.h"
#include "net/net_constants.h"
#include "serial/packet.h"
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

// `wall_per_request`, when given, gets the wall time per request in seconds.
bool MeasureLink(const char* name, int link, int requests, double* wall_per_request = nullptr) {
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
  if (wall_per_request != nullptr) *wall_per_request = wall / requests;
  console.links.Disconnect();
  return true;
}

// A device that answers every request at once: on TCP each line with
// "00/00/00/ok" and CR LF, on UDP ENQ with ACK and a request packet with the
// reply packet. It runs on a thread of its own until destroyed.
class PromptDevice {
 public:
  static constexpr Ipv4Address kAddress = 0x7F000020;  // 127.0.0.32

  PromptDevice() {
    listener_ = Open(SOCK_STREAM, kTcpPort);
    listen(listener_, 4);
    datagrams_ = Open(SOCK_DGRAM, kUdpPort);
    thread_ = std::thread([this] { Run(); });
  }
  ~PromptDevice() {
    stop_ = true;
    thread_.join();
    for (int fd : {listener_, datagrams_, connection_})
      if (fd >= 0) close(fd);
  }
  bool ready() const { return listener_ >= 0 && datagrams_ >= 0; }

 private:
  static int Open(int type, uint16_t port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kAddress);
    a.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  void Run() {
    while (!stop_) {
      pollfd fds[3] = {{listener_, POLLIN, 0}, {datagrams_, POLLIN, 0}, {connection_, POLLIN, 0}};
      if (poll(fds, connection_ >= 0 ? 3 : 2, 10) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        if (connection_ >= 0) close(connection_);
        connection_ = accept(listener_, nullptr, nullptr);
        line_.clear();
      }
      if (fds[1].revents & POLLIN) AnswerDatagram();
      if (connection_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP))) AnswerLines();
    }
  }

  void AnswerLines() {
    char bytes[4096];
    const ssize_t n = recv(connection_, bytes, sizeof bytes, 0);
    if (n <= 0) {
      close(connection_);
      connection_ = -1;
      return;
    }
    line_.append(bytes, static_cast<size_t>(n));
    for (size_t end; (end = line_.find("\r\n")) != std::string::npos; line_.erase(0, end + 2)) {
      static const std::string reply = "00/00/00/ok\r\n";
      send(connection_, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }

  void AnswerDatagram() {
    char bytes[4096];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = recvfrom(datagrams_, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &size);
    std::string answer;
    if (n == 1 && bytes[0] == kUdpEnq) answer = std::string(1, static_cast<char>(kUdpAck));
    if (n > 5) answer = BuildPacket("00/00/00/ok");
    if (!answer.empty())
      sendto(datagrams_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }

  int listener_ = -1;
  int datagrams_ = -1;
  int connection_ = -1;
  std::string line_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Wall time per request, or a negative value when a request failed.
double SecondsPerRequest(int link, int requests) {
  Console console;
  const std::string address = FormatIpv4(PromptDevice::kAddress);
  if (!console.links.Connect(link, 0, address, false).connected) return -1;
  std::string data;
  const double start = WallSeconds();
  for (int i = 0; i < requests; ++i)
    if (console.links.executor().ExecuteCommand("v", data, false) != kResultOk) return -1;
  const double seconds = (WallSeconds() - start) / requests;
  console.links.Disconnect();
  return seconds;
}

bool MeasureTcpBesideUdp(int requests) {
  PromptDevice device;
  if (!device.ready()) {
    std::fprintf(stderr, "bench_net: the prompt device could not bind 127.0.0.32\n");
    return false;
  }
  const double tcp = SecondsPerRequest(kLinkTcp, requests);
  const double udp = SecondsPerRequest(kLinkUdp, requests);
  if (tcp < 0 || udp < 0) {
    std::fprintf(stderr, "bench_net: a request to the prompt device failed\n");
    return false;
  }
  std::printf("prompt device, %d requests each: TCP (replies end in CR LF) %.0f requests/s (%.1f us each), "
              "UDP %.0f requests/s (%.1f us each); TCP takes %.2fx UDP's time per request (goal: 3x at most)\n",
              requests, 1 / tcp, tcp * 1e6, 1 / udp, udp * 1e6, tcp / udp);
  return tcp <= 3 * udp;
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
  test::FindProgramsBeside(argv[0]);
  const int requests = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 2000;
  test::SimulatorProcess simulator({"--no-serial", "--sdnp", "127.0.0.31", "--tcp", "127.0.0.31", "--udp", "127.0.0.31"},
                                   3);
  if (!simulator.ready(3)) {
    std::fprintf(stderr, "bench_net: veritor-sim did not start\n");
    return 1;
  }
  double tcp = 0, udp = 0;
  const bool ok = MeasureLink("SDNP", kLinkSdnp, requests) && MeasureLink("TCP", kLinkTcp, requests, &tcp) &&
                  MeasureLink("UDP", kLinkUdp, requests, &udp);
  if (ok)
    std::printf("veritor-sim, %d requests each: TCP %.1f us per request, UDP %.1f us; TCP takes %.2fx UDP's time "
                "per request (goal: 3x at most)\n",
                requests, tcp * 1e6, udp * 1e6, tcp / udp);
  MeasureDetection();
  const bool fast_enough = MeasureTcpBesideUdp(requests) && tcp <= 3 * udp;
  return ok && fast_enough ? 0 : 1;
}
