#include "platform/serial_enum.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <system_error>
#include <tuple>

#include "platform/posix_serial.h"

namespace veritor {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSerialPrefixes[] = {"ttyS", "ttyUSB", "ttyACM"};

struct SortKey {
  size_t kind;
  unsigned long number;
  bool operator<(const SortKey& other) const { return std::tie(kind, number) < std::tie(other.kind, other.number); }
};

// The sort key of a serial device name ("ttyUSB3"), or nothing for another name.
std::optional<SortKey> SerialKey(const std::string& name) {
  for (size_t kind = 0; kind < std::size(kSerialPrefixes); ++kind) {
    const std::string prefix = kSerialPrefixes[kind];
    if (!name.starts_with(prefix) || name.size() == prefix.size()) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    return SortKey{kind, std::strtoul(digits.c_str(), nullptr, 10)};
  }
  return std::nullopt;
}

// by-id name of each device node, keyed by the node's canonical path.
std::map<std::string, std::vector<std::string>> ByIdNames(const fs::path& dev) {
  std::map<std::string, std::vector<std::string>> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dev / "serial" / "by-id", error)) {
    const fs::path target = fs::canonical(entry.path(), error);
    if (!error) names[target.string()].push_back(entry.path().string());
  }
  for (auto& [target, list] : names) std::sort(list.begin(), list.end());
  return names;
}

// A ttyS port the kernel reserves without hardware says type 0.
bool HasNoUart(const std::string& sys_tty, const std::string& name) {
  if (!name.starts_with("ttyS")) return false;
  std::ifstream type(sys_tty + "/" + name + "/type");
  int value = -1;
  return type >> value && value == 0;
}

}  // namespace

std::string ComPortPath(int n) { return n < 1 ? std::string() : SerialDevicePath(static_cast<unsigned>(n)); }

std::vector<SerialDeviceEntry> ListSerialDevices(const std::string& dev, const std::string& sys_tty) {
  std::vector<std::pair<SortKey, SerialDeviceEntry>> found;
  const auto by_id = ByIdNames(dev);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dev, error)) {
    const std::string name = entry.path().filename().string();
    const auto key = SerialKey(name);
    if (!key || HasNoUart(sys_tty, name)) continue;
    SerialDeviceEntry device{entry.path().string(), {}};
    const fs::path canonical = fs::canonical(entry.path(), error);
    if (const auto names = by_id.find(error ? device.path : canonical.string()); names != by_id.end()) {
      device.by_id = names->second;
    }
    found.emplace_back(*key, std::move(device));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SerialDeviceEntry> devices;
  for (auto& [key, device] : found) devices.push_back(std::move(device));
  return devices;
}

std::vector<ComPortEntry> ListComPorts(unsigned count) {
  std::vector<ComPortEntry> ports;
  for (unsigned number = 1; number <= count; ++number) {
    const std::string variable = "VERITOR_COM" + std::to_string(number);
    const char* configured = std::getenv(variable.c_str());
    ComPortEntry port{number, SerialDevicePath(number), configured != nullptr && *configured != '\0', false};
    std::error_code error;
    port.exists = fs::exists(port.path, error);
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace veritor
