// veritor-sim: the simulated device on a pty, for running the console against
// a real serial line, and on loopback sockets for the network links, all
// answered by one device. It prints "veritor-sim: serving <slave path>" on the
// first line of stdout (unless --no-serial), then one line a network service
// ("veritor-sim: sdnp on 127.0.0.2:24222"), and serves until SIGINT or SIGTERM
// (end of stdin does not stop it, so it can run in the background). Exit
// status: 0 after a signal, 64 for a bad command line, 1 when the pty, the
// link or a socket cannot be made.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/device_model.h"
#include "sim/net_server.h"
#include "sim/serial_device.h"
#include "sim/sim_options.h"

namespace {

using veritor::sim::DeviceModel;
using veritor::sim::NetServer;
using veritor::sim::SerialDevice;
using veritor::sim::SimOptions;

volatile sig_atomic_t stop_requested = 0;

void OnStopSignal(int) { stop_requested = 1; }

uint32_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

// Reports a failed system call; always false.
bool Fail(const std::string& what) {
  std::fprintf(stderr, "veritor-sim: %s: %s\n", what.c_str(), std::strerror(errno));
  return false;
}

struct Pty {
  int master = -1;
  int slave = -1;  // held open so the line never hangs up between the console's opens
  std::string path;
};

bool OpenPty(Pty& pty) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty.master < 0) return Fail("posix_openpt");
  char name[128];
  if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 ||
      ptsname_r(pty.master, name, sizeof name) != 0) {
    return Fail("pty setup");
  }
  pty.path = name;
  pty.slave = open(name, O_RDWR | O_NOCTTY);
  if (pty.slave < 0) return Fail("open " + pty.path);
  termios settings{};
  if (tcgetattr(pty.slave, &settings) != 0) return Fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(pty.slave, TCSANOW, &settings) != 0) return Fail("tcsetattr");
  const int flags = fcntl(pty.master, F_GETFL);
  if (flags < 0 || fcntl(pty.master, F_SETFL, flags | O_NONBLOCK) != 0) {
    return Fail("fcntl");
  }
  return true;
}

// Replaces an old symlink at `link`, never a file of another kind.
bool MakeLink(const std::string& link, const std::string& target) {
  struct stat info {};
  if (lstat(link.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::fprintf(stderr, "veritor-sim: %s exists and is not a symlink\n", link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) return Fail("symlink " + link);
  return true;
}

// Removes the link only while it still points at this program's pty.
void RemoveLink(const std::string& link, const std::string& target) {
  std::vector<char> buffer(target.size() + 2);
  const ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
  if (length >= 0 && std::string(buffer.data(), static_cast<size_t>(length)) == target) {
    unlink(link.c_str());
  }
}

// SIGINT and SIGTERM stay blocked except inside ppoll, so a signal can
// never slip in between the check of the flag and the wait.
bool InstallStopSignals(sigset_t& wait_mask) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &blocked, &wait_mask) != 0) return Fail("sigprocmask");
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void WritePending(int master, std::string& pending) {
  while (!pending.empty()) {
    const ssize_t written = write(master, pending.data(), pending.size());
    if (written <= 0) return;  // the console's input queue is full: wait for POLLOUT
    pending.erase(0, static_cast<size_t>(written));
  }
}

void ReadHostBytes(int master, SerialDevice& device) {
  unsigned char buffer[256];
  const ssize_t count = read(master, buffer, sizeof buffer);
  const uint32_t now = MonotonicMs();
  for (ssize_t i = 0; i < count; ++i) device.OnHostByte(buffer[i], now);
}

// Milliseconds until `due`, or -1 for no time-out.
int WaitMs(std::optional<uint32_t> due, uint32_t now) {
  if (!due) return -1;
  const int32_t left = static_cast<int32_t>(*due - now);
  return left > 0 ? left : 0;
}

std::optional<uint32_t> Earlier(std::optional<uint32_t> a, std::optional<uint32_t> b) {
  if (!a) return b;
  if (!b) return a;
  return static_cast<int32_t>(*b - *a) < 0 ? b : a;
}

struct Served {
  const Pty* pty = nullptr;  // null with --no-serial
  SerialDevice& device;
  NetServer& net;
};

// The pty's pollfd, if it is served, then the network's.
std::vector<pollfd> PollList(const Served& served, bool output_waiting) {
  std::vector<pollfd> fds;
  if (served.pty) {
    fds.push_back({served.pty->master, static_cast<short>(POLLIN | (output_waiting ? POLLOUT : 0)), 0});
  }
  served.net.AddPollFds(fds);
  return fds;
}

void OnPtyPolled(const pollfd& polled, SerialDevice& device) {
  if (polled.revents & POLLIN) {
    ReadHostBytes(polled.fd, device);
  } else if (polled.revents & (POLLHUP | POLLERR)) {
    // Not expected while the slave is held open; never spin on it.
    constexpr long kHangUpBackoffMs = 50;
    timespec backoff{0, kHangUpBackoffMs * 1000000L};
    nanosleep(&backoff, nullptr);
  }
}

void Serve(const Served& served, const sigset_t& wait_mask) {
  constexpr int kOutputBackoffMs = 50;
  std::string pending;
  while (!stop_requested) {
    const uint32_t now = MonotonicMs();
    if (served.pty) {
      served.device.TakeDue(now, pending);
      WritePending(served.pty->master, pending);
    }
    served.net.SendDue(now);
    std::vector<pollfd> fds = PollList(served, !pending.empty());
    std::optional<uint32_t> due = served.net.NextDue();
    if (served.pty) due = Earlier(due, pending.empty() ? served.device.NextDue() : now + kOutputBackoffMs);
    const int wait_ms = WaitMs(due, MonotonicMs());
    timespec timeout{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
    const int ready = ppoll(fds.data(), fds.size(), wait_ms < 0 ? nullptr : &timeout, &wait_mask);
    if (ready <= 0) continue;
    const uint32_t arrived = MonotonicMs();
    std::span<const pollfd> rest(fds);
    if (served.pty) {
      OnPtyPolled(fds.front(), served.device);
      rest = rest.subspan(1);
    }
    served.net.OnPolled(rest, arrived);
  }
}

// Opens every network service; false, with the reason on stderr, when one fails.
bool OpenNetServices(const SimOptions& options, NetServer& net) {
  const auto open = [&](const std::vector<veritor::Ipv4Address>& addresses, auto serve) {
    for (veritor::Ipv4Address address : addresses) {
      const std::string error = (net.*serve)(address);
      if (!error.empty()) {
        std::fprintf(stderr, "veritor-sim: %s\n", error.c_str());
        return false;
      }
    }
    return true;
  };
  return open(options.sdnp, &NetServer::ServeSdnp) && open(options.tcp, &NetServer::ServeTcp) &&
         open(options.udp, &NetServer::ServeUdp);
}

void ApplyFaults(const SimOptions& options, SerialDevice& device, DeviceModel& model, const NetServer& net) {
  veritor::sim::FaultTargets targets{&device, &model, net.SdnpDevices(), net.TcpDevices(), net.UdpDevices()};
  for (const std::string& spec : options.faults) veritor::sim::ApplyFaultSpec(spec, options.seed, targets);
}

// One line on stderr: "veritor-sim: faults injected: serial 12, sdnp 3".
void ReportFaultsInjected(const SerialDevice* serial, const NetServer& net) {
  std::string line = "veritor-sim: faults injected:";
  const auto add = [&line](const char* link, uint64_t count) {
    line += std::string(line.back() == ':' ? " " : ", ") + link + " " + std::to_string(count);
  };
  const auto sum = [](const auto& devices) {
    uint64_t total = 0;
    for (const auto* device : devices) total += device->FaultsInjected();
    return total;
  };
  if (serial) add("serial", serial->FaultsInjected());
  if (!net.SdnpDevices().empty()) add("sdnp", sum(net.SdnpDevices()));
  if (!net.TcpDevices().empty()) add("tcp", sum(net.TcpDevices()));
  if (!net.UdpDevices().empty()) add("udp", sum(net.UdpDevices()));
  std::fprintf(stderr, "%s\n", line.c_str());
}

constexpr const char* kOptionHelp =
    "One simulated device, on a new pty and on loopback sockets.\n"
    "  --link PATH         a symlink at PATH to the pty served (VERITOR_COM1=PATH), removed at exit\n"
    "  --no-serial         serve no pty, only the network links asked for\n"
    "  --sdnp ADDR         serve SDNP on ADDR, UDP port 24222\n"
    "  --tcp ADDR          serve plain TCP on ADDR, port 24222\n"
    "  --udp ADDR          serve plain UDP on ADDR, port 9101\n"
    "  --tcp-bare-replies  end TCP replies without CR LF (the reply text alone)\n"
    "  --fault SPEC        inject a fault (below); repeatable\n"
    "  --report-lines N    the Z report holds N generated lines\n"
    "  --seed S            the seed of the random faults (1 when left out), so a run repeats\n"
    "  -h, --help          this text\n"
    "  -V, --version       the version\n"
    "\n";

constexpr const char* kFaultHelp =
    "Faults, each used once and in order (N: how many times, 1 if left out):\n"
    "  enq-nak:N enq-can:N enq-silence:N     answers to ENQ\n"
    "  pkt-nak:N pkt-can:N pkt-silence:N     answers to a good request packet\n"
    "  reply-badsum:N reply-short:N          reply packets with a wrong checksum, a 10-byte body\n"
    "  reply-pause:MS[@K]                    a pause after K bytes of a reply (K 4)\n"
    "  reply-stray:HEX reply-long:N          stray bytes before a reply; a reply body of N bytes\n"
    "  reply-delay:MS                        a reply sent MS later\n"
    "  busy:N offline:N                      BUSY, PRINTEROFFLINE answers before the real one\n"
    "  sdnp-rst:N sdnp-nak:N sdnp-badsum:N   REQ answered with RST, NAK, a REP with a bad data checksum\n"
    "  sdnp-echo:N sdnp-wrongfsn:N           the console's own frame, a stale fsn, before the REP\n"
    "  sdnp-foreign:N                        the REP from another address first\n"
    "  sdnp-silence:N sdnp-late:MS           REQ not heard; REP sent MS later\n"
    "  sdnp-qry-silence:N sdnp-syn-silence:N QRY, SYN not heard\n"
    "  sdnp-nak-forever sdnp-rst-forever     every REQ answered with NAK or RST\n"
    "  tcp-silence:N tcp-late:MS             request not heard; reply sent MS later\n"
    "  tcp-split:MS tcp-close:N tcp-reset:N  reply in two pieces MS apart; half, then close; reset\n"
    "  udp-enq-silence:N udp-enq-wrong:N     ENQ not heard; answered with 0x15\n"
    "  udp-nak:N udp-resync:N udp-silence:N  request answered with NAK, with 0x10; not heard\n"
    "  udp-badsum:N udp-duplicate:N          reply with bad digits; reply twice\n"
    "  udp-oversized[:BYTES] udp-empty:N     a datagram of BYTES (65507), an empty one, before the reply\n"
    "  udp-foreign:N udp-late:MS             the reply from another address first; MS later\n"
    "  random:P                              a random fault with probability P on every link (seed: --seed)\n"
    "  serial-random:P sdnp-random:P tcp-random:P udp-random:P   the same on one link\n"
    "  soak:P                                every kind of fault, flipped and dropped bytes, BUSY, CAN,\n"
    "                                        answers later than the console waits, resets included\n"
    "  soak-recoverable:P                    the same without those that end a request with a failure\n"
    "At exit the faults injected on each link go to stderr.\n"
    "Network addresses (--sdnp, --tcp, --udp, each repeatable) are in 127.0.0.0/8.\n"
    "TCP replies end with CR LF; --tcp-bare-replies sends the reply text alone.\n"
    "Runs until SIGINT or SIGTERM.\n";

int UsageError(const std::string& reason) {
  std::fprintf(stderr, "veritor-sim: %s\n%s\nTry 'veritor-sim --help'.\n", reason.c_str(), veritor::sim::kSimUsage);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const auto error = veritor::sim::ParseSimOptions(args, options)) return UsageError(*error);
  if (options.help) {
    std::printf("%s\n%s%s", veritor::sim::kSimUsage, kOptionHelp, kFaultHelp);
    return 0;
  }
  if (options.version) {
    std::printf("veritor-sim %s\n", VERITOR_VERSION);
    return 0;
  }

  DeviceModel model;
  model.KeepHistory(false);
  SerialDevice device(model);
  NetServer net(model);
  if (options.report_lines) model.GenerateReportLines(*options.report_lines);

  sigset_t wait_mask;
  Pty pty;
  if (!InstallStopSignals(wait_mask)) return 1;
  if (options.serial && !OpenPty(pty)) return 1;
  if (!OpenNetServices(options, net)) return 1;
  for (veritor::sim::TcpDevice* tcp : net.TcpDevices()) tcp->SetRepliesEndWithCrLf(options.tcp_crlf);
  ApplyFaults(options, device, model, net);
  if (options.serial && !options.link.empty() && !MakeLink(options.link, pty.path)) return 1;

  if (options.serial) std::printf("veritor-sim: serving %s\n", pty.path.c_str());
  for (const std::string& line : net.Descriptions()) std::printf("veritor-sim: %s\n", line.c_str());
  std::fflush(stdout);
  Serve({options.serial ? &pty : nullptr, device, net}, wait_mask);
  ReportFaultsInjected(options.serial ? &device : nullptr, net);

  if (options.serial) {
    if (!options.link.empty()) RemoveLink(options.link, pty.path);
    close(pty.slave);
    close(pty.master);
  }
  return 0;
}
