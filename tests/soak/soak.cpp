// soak: the console on one link against veritor-sim with random faults at a
// fixed seed. Every request "~/<n>/<length>" has a reply known to the byte,
// so each one ends in one of: the exact reply taken, a failure result with
// its log lines, or a fault of the console (a damaged or foreign reply taken
// as good, a failure without a log line, a request that never ends).
// --z-lines reads a Z report of that many lines over the serial link and
// compares the A and B files with the device's report.
//
// Usage: soak --link serial|sdnp|tcp|udp [--requests N] [--z-lines N]
//             [--seed S] [--rate P] [--mix soak|soak-recoverable]
//             [--address A] [--limit-s S] [--log FILE] [--keep yes]
// Exit status: 0 when the console made no fault, 1 when it did, 3 on a
// request that outran --limit-s, 64 for a bad command line.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log_entries.h"
#include "session/console_links.h"
#include "net/sdnp_frame.h"
#include "platform/poll_pump.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "serial/packet.h"
#include "sim/device_model.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace {

using namespace veritor;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string link;
  unsigned long requests = 0;
  unsigned long z_lines = 0;
  uint32_t seed = 1;
  std::string rate = "0.05";
  std::string mix;
  std::string address;
  unsigned limit_s = 120;
  std::string log_path;
  bool keep = false;  // the Z-report files stay
  bool details = false;  // the console's frame lines in the log
};

const std::map<std::string, int> kLinks = {{"serial", 1}, {"sdnp", kLinkSdnp}, {"tcp", kLinkTcp}, {"udp", kLinkUdp}};
const std::map<std::string, std::string> kDefaultAddresses = {
    {"sdnp", "127.0.0.62"}, {"tcp", "127.0.0.63"}, {"udp", "127.0.0.64"}};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--link") options.link = value;
    else if (name == "--requests") options.requests = std::strtoul(value.c_str(), nullptr, 10);
    else if (name == "--z-lines") options.z_lines = std::strtoul(value.c_str(), nullptr, 10);
    else if (name == "--seed") options.seed = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else if (name == "--rate") options.rate = value;
    else if (name == "--mix") options.mix = value;
    else if (name == "--address") options.address = value;
    else if (name == "--limit-s") options.limit_s = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
    else if (name == "--log") options.log_path = value;
    else if (name == "--keep") options.keep = value == "yes";
    else if (name == "--details") options.details = value == "yes";
    else return false;
  }
  if (argc % 2 == 0 || kLinks.count(options.link) == 0) return false;
  if (options.z_lines > 0 && options.link != "serial") return false;
  if (options.mix.empty()) options.mix = options.z_lines > 0 ? "soak-recoverable" : "soak";
  if (options.address.empty() && options.link != "serial") options.address = kDefaultAddresses.at(options.link);
  return options.requests > 0 || options.z_lines > 0;
}

// --- veritor-sim, with its stderr kept for the count of faults -----------------

int UnlinkedTemporaryFile() {
  char path[] = "/tmp/veritor-soak-sim-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) unlink(path);
  return fd;
}

class Simulator {
 public:
  explicit Simulator(const std::vector<std::string>& arguments) : process_(arguments, 1, err_fd_) {}
  ~Simulator() { close(err_fd_); }

  bool ready() const { return err_fd_ >= 0 && process_.ready(1); }
  pid_t pid() const { return process_.pid(); }
  const std::string& pty() const { return process_.path(); }

  // Stops it and reads its count of faults from "veritor-sim: faults injected: serial 12".
  std::optional<uint64_t> Stop() {
    process_.Stop();
    lseek(err_fd_, 0, SEEK_SET);
    const std::string err = test::ReadAll(err_fd_);
    const size_t at = err.find("faults injected: ");
    if (at == std::string::npos) return std::nullopt;
    std::istringstream counts(err.substr(at + 17));
    std::string link;
    uint64_t count = 0;
    counts >> link >> count;
    return count;
  }

 private:
  int err_fd_ = UnlinkedTemporaryFile();
  test::SimulatorProcess process_;
};

// --- The console ---------------------------------------------------------------

struct Console : test::HostRecorders {
  SteadyTickClock clock;
  PollPump pump;
  PosixPortOpener opener;
  PosixNetwork network;
  Host host = HostOn(clock, pump);
  ConsoleLinks links;

  explicit Console(const std::string& output_directory) : links(host, opener, network, output_directory) {}
};

// --- Counts ------------------------------------------------------------------------

struct Counts {
  unsigned long requests = 0;
  unsigned long replies = 0;
  unsigned long failures = 0;
  unsigned long silent_failures = 0;  // a failure without a log line
  unsigned long corrupt = 0;          // a reply taken that the device did not send for it
  unsigned long collisions = 0;       // ... damaged so that the link's checksum still matched
  unsigned long stale = 0;            // ... the reply to an earlier request (a late answer)
  unsigned long connects = 0;
  double longest_s = 0;
  std::map<int, unsigned long> failure_results;
};

std::string ExpectedReply(uint32_t n, size_t length) {
  return "00/00/00/" + std::to_string(n) + "/" + sim::EchoPayload(n, length);
}

// A length for request n, the same on every run: up to what the link's
// reply frame carries.
size_t LengthFor(uint32_t n, const std::string& link) {
  const size_t limit = link == "sdnp" ? kSdnpMaxPayload : kMaxReplyText;
  const size_t room = limit - ExpectedReply(n, 0).size();
  const std::string draw = sim::EchoPayload(n ^ 0x5A5A5A5Au, 3);
  const size_t value = static_cast<size_t>(draw[0] - 0x20) * 95 * 95 + static_cast<size_t>(draw[1] - 0x20) * 95 +
                       static_cast<size_t>(draw[2] - 0x20);
  return value % (room + 1);
}

// What a damaged reply that passed the link's check says about the check.
bool LinkChecksumMatches(const std::string& link, const std::string& taken, const std::string& expected) {
  if (link == "serial" || link == "udp") return PacketChecksum(taken) == PacketChecksum(expected);
  if (link == "sdnp") {
    const auto sum = [](const std::string& s) {
      return SdnpChecksum(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    return sum(taken) == sum(expected);
  }
  return false;
}

// The reply "00/00/00/<m>/..." that the device sent for an earlier request m.
bool IsEarlierReply(const std::string& link, const std::string& taken, uint32_t n) {
  const size_t slash = taken.find('/', 9);
  if (taken.rfind("00/00/00/", 0) != 0 || slash == std::string::npos) return false;
  const unsigned long m = std::strtoul(taken.substr(9, slash - 9).c_str(), nullptr, 10);
  return m >= 1 && m < n && taken == ExpectedReply(static_cast<uint32_t>(m), LengthFor(static_cast<uint32_t>(m), link));
}

class Soak {
 public:
  Soak(const Options& options, Console& console, std::ofstream* log)
      : options_(options), console_(console), log_(log), link_(kLinks.at(options.link)) {}

  bool Connect() {
    for (int attempt = 0; attempt < 10; ++attempt) {
      ++counts.connects;
      console_.sink.entries.clear();
      if (console_.links.Connect(link_, 115200, options_.address, false).connected) return true;
      Note("connect", console_.sink.entries);
    }
    return false;
  }

  // One request; false when the link is gone for good.
  bool Request(uint32_t n) {
    const size_t length = LengthFor(n, options_.link);
    const std::string expected = ExpectedReply(n, length);
    console_.sink.entries.clear();
    std::string data;
    const int result = Timed(n, [&] {
      return console_.links.executor().ExecuteCommand("~/" + std::to_string(n) + "/" + std::to_string(length), data,
                                                      options_.details);
    });
    ++counts.requests;
    if (result == kResultOk) return Taken(n, console_.links.executor().ReplyBuffer(), expected);
    ++counts.failures;
    ++counts.failure_results[result];
    if (console_.sink.entries.empty()) ++counts.silent_failures;
    Note("request " + std::to_string(n) + " failed with " + std::to_string(result), console_.sink.entries);
    if (result != kResultSocketFailed) return true;
    // The connection is gone (a network device that closed or reset it):
    // the operator connects again.
    console_.links.Disconnect();
    return Connect();
  }

  // "A", then "Q" to the report's end, then "x/2"; the whole report again
  // after a failed "Q", since the device's place in the report is unknown,
  // and when the operator finds the calculated signature is not the one
  // printed in the device's report.
  bool ReadZReport() {
    sim::DeviceModel device;
    device.GenerateReportLines(options_.z_lines);
    const std::string printed = sim::ReportFingerprint(device.CurrentReport());
    console_.prompts.decide = [printed](const std::string& text) { return text.find(printed) != std::string::npos; };
    for (int pass = 0; pass < 20; ++pass) {
      if (ReadReportLines()) {
        std::string data;
        console_.sink.entries.clear();
        const int result = Timed(0, [&] { return console_.links.executor().ExecuteCommand("x/2", data, false); });
        if (result == kResultSignatureRejected) {
          ++signatures_refused;
          Note("x/2: the calculated signature is not the report's", console_.sink.entries);
          continue;
        }
        if (result != kResultOk) Note("x/2 failed with " + std::to_string(result), console_.sink.entries);
        return true;
      }
      ++report_restarts;
    }
    return false;
  }

  // Set by the watchdog's reading: the request under way and since when.
  std::atomic<uint32_t> current{0};
  std::atomic<int64_t> started_ms{-1};
  Counts counts;
  unsigned long report_restarts = 0;
  unsigned long signatures_refused = 0;

 private:
  template <typename Call>
  int Timed(uint32_t n, Call call) {
    current = n;
    const auto start = Clock::now();
    started_ms = std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch()).count();
    const int result = call();
    started_ms = -1;
    counts.longest_s = std::max(counts.longest_s, std::chrono::duration<double>(Clock::now() - start).count());
    return result;
  }

  bool Taken(uint32_t n, const std::string& taken, const std::string& expected) {
    if (taken == expected) {
      ++counts.replies;
      if (options_.details) Note("request " + std::to_string(n) + " taken", console_.sink.entries);
      return true;
    }
    ++counts.corrupt;
    std::string kind = "damaged";
    if (IsEarlierReply(options_.link, taken, n)) {
      ++counts.stale;
      kind = "an earlier request's";
    } else if (LinkChecksumMatches(options_.link, taken, expected)) {
      ++counts.collisions;
      kind = "damaged, checksum matching";
    }
    std::vector<std::string> lines = console_.sink.entries;
    lines.push_back("taken:    [" + taken + "]");
    lines.push_back("expected: [" + expected + "]");
    Note("request " + std::to_string(n) + ": " + kind + " reply taken", lines);
    return true;
  }

  bool ReadReportLines() {
    std::string data;
    console_.sink.entries.clear();
    if (Timed(0, [&] { return console_.links.executor().ExecuteCommand("A", data, false); }) != kResultOk) {
      Note("A failed", console_.sink.entries);
      return false;
    }
    for (unsigned long line = 1; line <= options_.z_lines + 8; ++line) {
      console_.sink.entries.clear();
      const int result = Timed(static_cast<uint32_t>(line), [&] {
        return console_.links.executor().ExecuteCommand("Q", data, false);
      });
      if (result != kResultOk) {
        Note("Q " + std::to_string(line) + " failed with " + std::to_string(result), console_.sink.entries);
        return false;
      }
      if (data.rfind("3/", 0) == 0) return true;
    }
    Note("the report did not end", {});
    return false;
  }

  void Note(const std::string& what, const std::vector<std::string>& lines) {
    if (!log_) return;
    *log_ << "# " << what << "\n";
    for (const std::string& line : lines) *log_ << "  " << line << "\n";
  }

  const Options& options_;
  Console& console_;
  std::ofstream* log_;
  int link_;
};

// Ends the program when a request outruns the limit: the console hung.
void Watch(const Soak& soak, unsigned limit_s, const Simulator& simulator, const std::string& link,
           std::atomic<bool>& done) {
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int64_t started = soak.started_ms;
    if (started < 0) continue;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    if (now - started < static_cast<int64_t>(limit_s) * 1000) continue;
    std::printf("soak %s: request %u has not ended after %u s: hangs=1\n", link.c_str(), soak.current.load(), limit_s);
    std::fflush(stdout);
    kill(simulator.pid(), SIGTERM);
    _exit(3);
  }
}

std::vector<std::string> SimulatorArguments(const Options& options) {
  std::vector<std::string> arguments = {"--fault", options.mix + ":" + options.rate, "--seed",
                                        std::to_string(options.seed)};
  if (options.link != "serial") {
    arguments.insert(arguments.end(), {"--no-serial", "--" + options.link, options.address});
  }
  if (options.z_lines > 0) arguments.insert(arguments.end(), {"--report-lines", std::to_string(options.z_lines)});
  return arguments;
}

// The A file must hold the kind 0 lines of the device's report, each with
// CR LF, and the B file their SHA-1.
bool ZFilesAreTheReports(const std::string& folder, unsigned long lines) {
  sim::DeviceModel device;
  device.GenerateReportLines(lines);
  std::string report;
  for (const sim::ReportLine& line : device.CurrentReport())
    if (line.kind == '0') report += line.text + "\r\n";
  const std::string a_file = test::ReadFile(folder + "Z0001_a.txt");
  const bool same_a = a_file == report;
  const bool same_b = test::ReadFile(folder + "Z0001_b.txt") == sim::ReportFingerprint(device.CurrentReport());
  if (same_a && same_b) {
    std::printf("z-report: A file identical to the device's report (%lu lines), B file equal to its SHA-1\n", lines);
  } else {
    const size_t differs = std::mismatch(a_file.begin(), a_file.end(), report.begin(), report.end()).first -
                           a_file.begin();
    std::printf("z-report: A file %s (from byte %zu on), B file %s\n", same_a ? "same" : "DIFFERS", differs,
                same_b ? "the report's SHA-1" : "NOT the report's SHA-1");
  }
  return same_a && same_b;
}

std::string MakeOutputFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "veritor-soak-XXXXXX").string();
  return mkdtemp(pattern.data()) ? pattern + "/" : std::string();
}

// UDP reply packets carry no sequence number, and dropping replies that look
// like earlier ones would drop genuine replies; TCP waits for the answers
// owed to a request's resends and drops them, and SDNP and the serial link
// number or acknowledge every exchange, so there a late answer taken is the
// console's fault.
bool LateAnswersAreProtocolLimits(const std::string& link) { return link == "udp"; }

// A hang ends the run in Watch, which reports it; a run that gets here had none.
void PrintCounts(const Options& options, const Counts& counts, std::optional<uint64_t> faults, double wall_s) {
  std::string results;
  // Appended piece by piece: GCC 12 sees a false overlap (-Wrestrict) in
  // "literal" + std::string&& once it inlines enough of it.
  for (const auto& [result, times] : counts.failure_results) {
    if (!results.empty()) results += ' ';
    results.append(std::to_string(result)).append("x").append(std::to_string(times));
  }
  std::printf(
      "soak %s: requests=%lu faults_injected=%s replies_taken=%lu failures=%lu hangs=0 corrupt_taken=%lu "
      "(limits of the protocol: checksum_matching=%lu late_answers=%lu) silent_failures=%lu connects=%lu "
      "longest=%.1fs wall=%.0fs\n",
      options.link.c_str(), counts.requests, faults ? std::to_string(*faults).c_str() : "?", counts.replies,
      counts.failures, counts.corrupt, counts.collisions, counts.stale, counts.silent_failures, counts.connects,
      counts.longest_s, wall_s);
  if (!results.empty()) std::printf("soak %s: failure results %s\n", options.link.c_str(), results.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: soak --link serial|sdnp|tcp|udp [--requests N] [--z-lines N (serial)] [--seed S] [--rate P]\n"
                 "            [--mix soak|soak-recoverable] [--address A] [--limit-s S] [--log FILE] [--keep yes]\n");
    return 64;
  }
  test::FindProgramsBeside(argv[0]);
  const auto wall_start = Clock::now();
  Simulator simulator(SimulatorArguments(options));
  if (!simulator.ready()) {
    std::fprintf(stderr, "soak: veritor-sim did not start\n");
    return 1;
  }
  if (options.link == "serial") setenv("VERITOR_COM1", simulator.pty().c_str(), 1);
  const std::string output_folder = MakeOutputFolder();
  std::ofstream log_file;
  if (!options.log_path.empty()) log_file.open(options.log_path);
  Console console(output_folder);
  Soak soak(options, console, log_file.is_open() ? &log_file : nullptr);
  std::atomic<bool> done{false};
  std::thread watchdog(Watch, std::cref(soak), options.limit_s, std::cref(simulator), options.link, std::ref(done));

  bool ok = soak.Connect();
  if (!ok) std::printf("soak %s: no connection after %lu tries\n", options.link.c_str(), soak.counts.connects);
  for (uint32_t n = 1; ok && n <= options.requests; ++n) ok = soak.Request(n);
  bool z_ok = options.z_lines == 0;
  if (ok && options.z_lines > 0) {
    z_ok = soak.ReadZReport() && ZFilesAreTheReports(output_folder, options.z_lines);
    std::printf("z-report: read again from the start %lu times after a failed request and %lu times after the "
                "operator refused the signature, longest request %.1fs\n",
                soak.report_restarts, soak.signatures_refused, soak.counts.longest_s);
  }
  console.links.Disconnect();
  done = true;
  watchdog.join();
  const std::optional<uint64_t> faults = simulator.Stop();
  std::error_code ignored;
  if (options.keep) std::printf("soak %s: files kept in %s\n", options.link.c_str(), output_folder.c_str());
  else std::filesystem::remove_all(output_folder, ignored);

  const Counts& counts = soak.counts;
  const double wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
  if (options.requests > 0) PrintCounts(options, counts, faults, wall_s);
  if (options.z_lines > 0) {
    std::printf("soak serial z-report: lines=%lu faults_injected=%s signatures_refused=%lu files=%s wall=%.0fs\n",
                options.z_lines, faults ? std::to_string(*faults).c_str() : "?", soak.signatures_refused,
                z_ok ? "the_reports" : "WRONG", wall_s);
  }
  // Damage that the link's checksum cannot see, and on a link whose replies
  // carry no sequence number a late answer to an earlier request that comes
  // after the next request went out, are counted, not held against the
  // console: no console can tell them from a good reply.
  const unsigned long late_answers = LateAnswersAreProtocolLimits(options.link) ? counts.stale : 0;
  const unsigned long console_faults = counts.corrupt - counts.collisions - late_answers + counts.silent_failures;
  const bool faults_seen = faults && (*faults > 0 || std::strtod(options.rate.c_str(), nullptr) == 0);
  return ok && z_ok && console_faults == 0 && faults_seen ? 0 : 1;
}
