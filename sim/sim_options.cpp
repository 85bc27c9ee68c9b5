#include "sim/sim_options.h"

#include <charconv>
#include <cstdlib>

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

}  // namespace

bool ApplyFaultSpec(const std::string& spec, uint32_t seed, SerialDevice& device,
                    DeviceModel& model) {
  const size_t colon = spec.find(':');
  const std::string name = spec.substr(0, colon);
  const bool has_argument = colon != std::string::npos;
  const std::string argument = has_argument ? spec.substr(colon + 1) : "";
  if (name == "random") {
    const auto probability = ParseProbability(argument);
    if (!probability) return false;
    device.EnableRandomFaults(seed, *probability);
    return true;
  }
  if (const auto fault = ParseReplyFault(name, argument)) {
    device.faults.reply.push_back(*fault);
    return true;
  }
  return ApplyCounted(name, argument, has_argument, device, model);
}

std::optional<std::string> ParseSimOptions(const std::vector<std::string>& args,
                                           SimOptions& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    if (option != "--link" && option != "--fault" && option != "--report-lines" &&
        option != "--seed") {
      return "unknown option '" + option + "'";
    }
    if (i + 1 >= args.size()) return option + " needs a value";
    const std::string& value = args[++i];
    if (option == "--link") {
      if (value.empty()) return "--link needs a path";
      options.link = value;
    } else if (option == "--fault") {
      options.faults.push_back(value);
    } else if (option == "--report-lines") {
      const auto lines = ParseUnsigned(value, 1000000);
      if (!lines) return "bad line count '" + value + "'";
      options.report_lines = static_cast<size_t>(*lines);
    } else {
      const auto seed = ParseUnsigned(value, UINT32_MAX);
      if (!seed) return "bad seed '" + value + "'";
      options.seed = static_cast<uint32_t>(*seed);
    }
  }
  // Each spec is tried on a scratch device so that a bad one is reported
  // before anything is served.
  DeviceModel scratch_model;
  SerialDevice scratch_device(scratch_model);
  for (const std::string& spec : options.faults) {
    if (!ApplyFaultSpec(spec, options.seed, scratch_device, scratch_model)) {
      return "bad fault '" + spec + "'";
    }
  }
  return std::nullopt;
}

}  // namespace veritor::sim
