#include "sim/sim_options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "net/ipv4_text.h"

namespace veritor::sim {

namespace {

constexpr uint64_t kMaxCount = 100000;
constexpr uint64_t kMaxMs = 600000;
constexpr size_t kMaxStrayBytes = 64;

std::optional<uint64_t> ParseUnsigned(const std::string& text, uint64_t max) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value > max) return std::nullopt;
  return value;
}

std::optional<std::string> ParseHex(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > kMaxStrayBytes) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    const char* end = text.data() + i + 2;
    const auto [stop, error] = std::from_chars(text.data() + i, end, value, 16);
    if (error != std::errc() || stop != end) return std::nullopt;
    bytes += static_cast<char>(value);
  }
  return bytes;
}

std::optional<double> ParseProbability(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(value > 0.0 && value <= 1.0)) return std::nullopt;
  return value;
}

template <typename T>
void Repeat(std::deque<T>& queue, T entry, uint64_t times) {
  for (uint64_t i = 0; i < times; ++i) queue.push_back(entry);
}

// A fault that repeats one entry: its argument is the count, 1 if left out.
bool ApplyCounted(const std::string& name, const std::string& argument, bool has_argument,
                  SerialDevice& device, DeviceModel& model) {
  const std::optional<uint64_t> times = has_argument ? ParseUnsigned(argument, kMaxCount) : 1;
  if (!times) return false;
  FaultPlan& plan = device.faults;
  const unsigned count = static_cast<unsigned>(*times);
  if (name == "enq-nak") Repeat(plan.enq, AnswerFault::kNak, count);
  else if (name == "enq-can") Repeat(plan.enq, AnswerFault::kCan, count);
  else if (name == "enq-silence") Repeat(plan.enq, AnswerFault::kSilence, count);
  else if (name == "pkt-nak") Repeat(plan.packet, AnswerFault::kNak, count);
  else if (name == "pkt-can") Repeat(plan.packet, AnswerFault::kCan, count);
  else if (name == "pkt-silence") Repeat(plan.packet, AnswerFault::kSilence, count);
  else if (name == "reply-badsum") Repeat(plan.reply, ReplyFault::BadChecksum(), count);
  else if (name == "reply-short") Repeat(plan.reply, ReplyFault::Short(), count);
  else if (name == "busy") model.AnswerBusy(count);
  else if (name == "offline") model.AnswerPrinterOffline(count);
  else return false;
  return true;
}

// "MS" or "MS@K".
std::optional<ReplyFault> ParsePause(const std::string& argument) {
  const size_t at = argument.find('@');
  const auto ms = ParseUnsigned(argument.substr(0, at), kMaxMs);
  const auto after = at == std::string::npos ? std::optional<uint64_t>(4)
                                             : ParseUnsigned(argument.substr(at + 1), kMaxCount);
  if (!ms || !after) return std::nullopt;
  return ReplyFault::Pause(static_cast<size_t>(*after), static_cast<uint32_t>(*ms));
}

std::optional<ReplyFault> ParseReplyFault(const std::string& name, const std::string& argument) {
  if (name == "reply-pause") return ParsePause(argument);
  if (name == "reply-stray") {
    const auto bytes = ParseHex(argument);
    if (bytes) return ReplyFault::Stray(*bytes);
  } else if (name == "reply-long") {
    const auto length = ParseUnsigned(argument, kMaxCount);
    if (length) return ReplyFault::Long(static_cast<size_t>(*length));
  } else if (name == "reply-delay") {
    const auto ms = ParseUnsigned(argument, kMaxMs);
    if (ms) return ReplyFault::Delay(static_cast<uint32_t>(*ms));
  }
  return std::nullopt;
}

enum class NetQueue { kSdnpQuery, kSdnpSync, kSdnpRequest, kTcpRequest, kUdpEnquiry, kUdpRequest };
enum class Argument { kCount, kMs, kBytes };

struct NetFaultSpec {
  const char* name;
  NetQueue queue;
  NetFault kind;
  Argument argument;
};

constexpr NetFaultSpec kNetFaultSpecs[] = {
    {"sdnp-rst", NetQueue::kSdnpRequest, NetFault::kRst, Argument::kCount},
    {"sdnp-nak", NetQueue::kSdnpRequest, NetFault::kNak, Argument::kCount},
    {"sdnp-badsum", NetQueue::kSdnpRequest, NetFault::kBadChecksum, Argument::kCount},
    {"sdnp-echo", NetQueue::kSdnpRequest, NetFault::kEcho, Argument::kCount},
    {"sdnp-wrongfsn", NetQueue::kSdnpRequest, NetFault::kWrongFsn, Argument::kCount},
    {"sdnp-foreign", NetQueue::kSdnpRequest, NetFault::kForeign, Argument::kCount},
    {"sdnp-silence", NetQueue::kSdnpRequest, NetFault::kSilence, Argument::kCount},
    {"sdnp-late", NetQueue::kSdnpRequest, NetFault::kLate, Argument::kMs},
    {"sdnp-qry-silence", NetQueue::kSdnpQuery, NetFault::kSilence, Argument::kCount},
    {"sdnp-syn-silence", NetQueue::kSdnpSync, NetFault::kSilence, Argument::kCount},
    {"tcp-silence", NetQueue::kTcpRequest, NetFault::kSilence, Argument::kCount},
    {"tcp-late", NetQueue::kTcpRequest, NetFault::kLate, Argument::kMs},
    {"tcp-split", NetQueue::kTcpRequest, NetFault::kSplit, Argument::kMs},
    {"tcp-close", NetQueue::kTcpRequest, NetFault::kClose, Argument::kCount},
    {"tcp-reset", NetQueue::kTcpRequest, NetFault::kReset, Argument::kCount},
    {"udp-enq-silence", NetQueue::kUdpEnquiry, NetFault::kSilence, Argument::kCount},
    {"udp-enq-wrong", NetQueue::kUdpEnquiry, NetFault::kWrongByte, Argument::kCount},
    {"udp-nak", NetQueue::kUdpRequest, NetFault::kNak, Argument::kCount},
    {"udp-resync", NetQueue::kUdpRequest, NetFault::kResync, Argument::kCount},
    {"udp-silence", NetQueue::kUdpRequest, NetFault::kSilence, Argument::kCount},
    {"udp-badsum", NetQueue::kUdpRequest, NetFault::kBadChecksum, Argument::kCount},
    {"udp-duplicate", NetQueue::kUdpRequest, NetFault::kDuplicate, Argument::kCount},
    {"udp-oversized", NetQueue::kUdpRequest, NetFault::kOversized, Argument::kBytes},
    {"udp-empty", NetQueue::kUdpRequest, NetFault::kEmpty, Argument::kCount},
    {"udp-foreign", NetQueue::kUdpRequest, NetFault::kForeign, Argument::kCount},
    {"udp-late", NetQueue::kUdpRequest, NetFault::kLate, Argument::kMs},
};

std::vector<std::deque<FaultEntry>*> QueuesOf(FaultTargets& targets, NetQueue queue) {
  std::vector<std::deque<FaultEntry>*> queues;
  for (SdnpDevice* device : targets.sdnp) {
    if (queue == NetQueue::kSdnpQuery) queues.push_back(&device->faults.query);
    if (queue == NetQueue::kSdnpSync) queues.push_back(&device->faults.sync);
    if (queue == NetQueue::kSdnpRequest) queues.push_back(&device->faults.request);
  }
  for (TcpDevice* device : targets.tcp) {
    if (queue == NetQueue::kTcpRequest) queues.push_back(&device->faults);
  }
  for (UdpDevice* device : targets.udp) {
    if (queue == NetQueue::kUdpEnquiry) queues.push_back(&device->faults.enquiry);
    if (queue == NetQueue::kUdpRequest) queues.push_back(&device->faults.request);
  }
  return queues;
}

// The planned entries that a network spec's argument stands for.
std::optional<std::vector<FaultEntry>> NetEntries(const NetFaultSpec& spec, const std::string& argument,
                                                  bool has_argument) {
  switch (spec.argument) {
    case Argument::kCount: {
      const auto times = has_argument ? ParseUnsigned(argument, kMaxCount) : 1;
      if (!times) return std::nullopt;
      return std::vector<FaultEntry>(static_cast<size_t>(*times), FaultEntry{spec.kind});
    }
    case Argument::kMs: {
      const auto ms = ParseUnsigned(argument, kMaxMs);
      if (!ms) return std::nullopt;
      return std::vector<FaultEntry>{{spec.kind, static_cast<uint32_t>(*ms)}};
    }
    case Argument::kBytes: {
      const auto bytes = has_argument ? ParseUnsigned(argument, kMaxDatagram) : 0;
      if (!bytes) return std::nullopt;
      return std::vector<FaultEntry>{{spec.kind, static_cast<uint32_t>(*bytes)}};
    }
  }
  return std::nullopt;
}

bool ApplyNetFault(const std::string& name, const std::string& argument, bool has_argument,
                   FaultTargets& targets) {
  for (const NetFaultSpec& spec : kNetFaultSpecs) {
    if (name != spec.name) continue;
    const auto entries = NetEntries(spec, argument, has_argument);
    if (!entries) return false;
    for (std::deque<FaultEntry>* queue : QueuesOf(targets, spec.queue)) {
      queue->insert(queue->end(), entries->begin(), entries->end());
    }
    return true;
  }
  if ((name != "sdnp-nak-forever" && name != "sdnp-rst-forever") || has_argument) return false;
  for (SdnpDevice* device : targets.sdnp) {
    device->faults.every_request = name == "sdnp-nak-forever" ? NetFault::kNak : NetFault::kRst;
  }
  return true;
}

bool IsRandomName(const std::string& name) {
  return name == "random" || name == "serial-random" || name == "sdnp-random" || name == "tcp-random" ||
         name == "udp-random" || name == "soak" || name == "soak-recoverable";
}

FaultMix MixOf(const std::string& name) {
  if (name == "soak") return FaultMix::kEveryKind;
  if (name == "soak-recoverable") return FaultMix::kEveryRecoverableKind;
  return FaultMix::kRecoverable;
}

// "random:P" and the soak mixes reach every link, "<link>-random:P" one.
void ApplyRandom(const std::string& name, double probability, uint32_t seed, FaultTargets& targets) {
  const FaultMix mix = MixOf(name);
  const auto reaches = [&](const char* link) {
    return name == "random" || mix != FaultMix::kRecoverable || name == std::string(link) + "-random";
  };
  if (reaches("serial") && targets.serial) targets.serial->EnableRandomFaults(seed, probability, mix);
  if (reaches("sdnp")) {
    for (SdnpDevice* device : targets.sdnp) device->EnableRandomFaults(seed, probability, mix);
  }
  if (reaches("tcp")) {
    for (TcpDevice* device : targets.tcp) device->EnableRandomFaults(seed, probability, mix);
  }
  if (reaches("udp")) {
    for (UdpDevice* device : targets.udp) device->EnableRandomFaults(seed, probability, mix);
  }
}

// A device address is in 127.0.0.0/8 and is neither its network nor its
// broadcast address. The UDP device may not take the console's own
// 127.0.0.1: on the console's port it would hear its own answers.
std::optional<std::string> CheckDeviceAddress(const std::string& option, const std::string& text,
                                              Ipv4Address address, const std::vector<Ipv4Address>& taken) {
  constexpr Ipv4Address kConsoleAddress = 0x7F000001;
  if ((address >> 24) != 127 || address == 0x7F000000 || address == 0x7FFFFFFF) {
    return option + " needs an address in 127.0.0.0/8, not '" + text + "'";
  }
  if (option == "--udp" && address == kConsoleAddress) return "--udp cannot serve the console's own 127.0.0.1";
  if (std::find(taken.begin(), taken.end(), address) != taken.end()) return option + " " + text + " given twice";
  return std::nullopt;
}

std::optional<std::string> AddDeviceAddress(const std::string& option, const std::string& value,
                                            SimOptions& options) {
  std::vector<Ipv4Address>& list = option == "--sdnp" ? options.sdnp : option == "--tcp" ? options.tcp : options.udp;
  const Ipv4Address address = ParseIpv4(value).value_or(kAnyAddress);  // none: refused below
  if (const auto error = CheckDeviceAddress(option, value, address, list)) return error;
  list.push_back(address);
  return std::nullopt;
}

// Each spec is tried on scratch devices so that a bad one is reported before
// anything is served.
std::optional<std::string> CheckFaultSpecs(const SimOptions& options) {
  for (const std::string& spec : options.faults) {
    DeviceModel model;
    SerialDevice serial(model);
    SdnpDevice sdnp(model, 0x7F000002);
    TcpDevice tcp(model);
    UdpDevice udp(model, 0x7F000002);
    FaultTargets targets{&serial, &model, {&sdnp}, {&tcp}, {&udp}};
    if (!ApplyFaultSpec(spec, options.seed, targets)) return "bad fault '" + spec + "'";
  }
  return std::nullopt;
}

enum OptionCode : int {
  kOptionLink = 256,
  kOptionNoSerial,
  kOptionFault,
  kOptionReportLines,
  kOptionSeed,
  kOptionSdnp,
  kOptionTcp,
  kOptionUdp,
  kOptionTcpBareReplies,
};

constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"link", required_argument, nullptr, kOptionLink},
    {"no-serial", no_argument, nullptr, kOptionNoSerial},
    {"fault", required_argument, nullptr, kOptionFault},
    {"report-lines", required_argument, nullptr, kOptionReportLines},
    {"seed", required_argument, nullptr, kOptionSeed},
    {"sdnp", required_argument, nullptr, kOptionSdnp},
    {"tcp", required_argument, nullptr, kOptionTcp},
    {"udp", required_argument, nullptr, kOptionUdp},
    {"tcp-bare-replies", no_argument, nullptr, kOptionTcpBareReplies},
    {nullptr, 0, nullptr, 0},
};

std::optional<std::string> ApplyOption(int code, const std::string& value, SimOptions& options) {
  switch (code) {
    case 'h': options.help = true; break;
    case 'V': options.version = true; break;
    case kOptionNoSerial: options.serial = false; break;
    case kOptionTcpBareReplies: options.tcp_crlf = false; break;
    case kOptionLink:
      if (value.empty()) return "--link needs a path";
      options.link = value;
      break;
    case kOptionFault: options.faults.push_back(value); break;
    case kOptionReportLines: {
      const auto lines = ParseUnsigned(value, 1000000);
      if (!lines) return "bad line count '" + value + "'";
      options.report_lines = static_cast<size_t>(*lines);
      break;
    }
    case kOptionSeed: {
      const auto seed = ParseUnsigned(value, UINT32_MAX);
      if (!seed) return "bad seed '" + value + "'";
      options.seed = static_cast<uint32_t>(*seed);
      break;
    }
    case kOptionSdnp: return AddDeviceAddress("--sdnp", value, options);
    case kOptionTcp: return AddDeviceAddress("--tcp", value, options);
    case kOptionUdp: return AddDeviceAddress("--udp", value, options);
    default: return "unhandled option";
  }
  return std::nullopt;
}

// The option getopt_long stopped at, as the user wrote it.
std::string OffendingOption(const std::vector<char*>& argv) {
  const int index = std::clamp(optind - 1, 1, static_cast<int>(argv.size()) - 2);
  if (optopt != 0 && optopt < 256 && argv[static_cast<size_t>(index)][1] != '-') {
    return std::string("-") + static_cast<char>(optopt);
  }
  return argv[static_cast<size_t>(index)];
}

// Fills `options` from the command line; the reason when it is not valid.
std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args, SimOptions& options) {
  std::vector<std::string> storage = {"veritor-sim"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());
  optind = 0;  // glibc: start afresh
  opterr = 0;
  // "+": stop at the first argument that is no option, which is then refused.
  for (int code; (code = getopt_long(argc, argv.data(), "+:hV", kLongOptions, nullptr)) != -1;) {
    if (code == '?') return "unknown option '" + OffendingOption(argv) + "'";
    if (code == ':') return OffendingOption(argv) + " needs a value";
    if (auto error = ApplyOption(code, optarg != nullptr ? optarg : "", options)) return error;
  }
  if (optind < argc) return "unexpected argument '" + storage[static_cast<size_t>(optind)] + "'";
  return std::nullopt;
}

}  // namespace

bool ApplyFaultSpec(const std::string& spec, uint32_t seed, FaultTargets& targets) {
  const size_t colon = spec.find(':');
  const std::string name = spec.substr(0, colon);
  const bool has_argument = colon != std::string::npos;
  const std::string argument = has_argument ? spec.substr(colon + 1) : "";
  if (IsRandomName(name)) {
    const auto probability = ParseProbability(argument);
    if (!probability) return false;
    ApplyRandom(name, *probability, seed, targets);
    return true;
  }
  if (name.starts_with("sdnp-") || name.starts_with("tcp-") || name.starts_with("udp-")) {
    return ApplyNetFault(name, argument, has_argument, targets);
  }
  if (targets.serial == nullptr || targets.model == nullptr) return false;
  if (const auto fault = ParseReplyFault(name, argument)) {
    targets.serial->faults.reply.push_back(*fault);
    return true;
  }
  return ApplyCounted(name, argument, has_argument, *targets.serial, *targets.model);
}

bool ApplyFaultSpec(const std::string& spec, uint32_t seed, SerialDevice& device, DeviceModel& model) {
  FaultTargets targets{&device, &model, {}, {}, {}};
  return ApplyFaultSpec(spec, seed, targets);
}

std::optional<std::string> ParseSimOptions(const std::vector<std::string>& args, SimOptions& options) {
  if (auto error = ParseCommandLine(args, options)) return error;
  if (options.help || options.version) return std::nullopt;
  if (!options.serial && options.sdnp.empty() && options.tcp.empty() && options.udp.empty()) {
    return "--no-serial leaves nothing to serve";
  }
  if (!options.serial && !options.link.empty()) return "--link names the pty, which --no-serial leaves out";
  return CheckFaultSpecs(options);
}

}  // namespace veritor::sim
