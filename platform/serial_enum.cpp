#include "platform/serial_enum.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "platform/posix_serial.h"

namespace veritor {

namespace {

namespace fs = std::filesystem;

constexpr const char* kPrefixes[] = {"ttyS", "ttyUSB", "ttyACM"};

// "ttyUSB10" -> {"ttyUSB", 10}; no number counts as -1.
std::pair<std::string, long> SplitNumber(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  const std::string number = name.substr(digits);
  return {name.substr(0, digits), number.empty() || number.size() > 9 ? -1 : std::stol(number)};
}

bool IsSerialName(const std::string& name) {
  const auto [prefix, number] = SplitNumber(name);
  return number >= 0 && std::find(std::begin(kPrefixes), std::end(kPrefixes), prefix) != std::end(kPrefixes);
}

// A ttyS port the kernel reserves without hardware says type 0.
bool HasNoUart(const std::string& sys_tty_dir, const std::string& name) {
  if (name.rfind("ttyS", 0) != 0) return false;
  std::ifstream type(sys_tty_dir + "/" + name + "/type");
  int value = -1;
  return type >> value && value == 0;
}

// Device path -> by-id name, from the links in by_id_dir.
std::map<std::string, std::string> ByIdNames(const std::string& by_id_dir, const std::string& dev_dir) {
  std::map<std::string, std::string> names;
  std::error_code error;
  for (const fs::directory_entry& link : fs::directory_iterator(by_id_dir, error)) {
    std::error_code link_error;
    const fs::path target = fs::read_symlink(link.path(), link_error);
    if (link_error) continue;
    const fs::path device = fs::path(dev_dir) / target.filename();
    names[device.string()] = link.path().string();
  }
  return names;
}

}  // namespace

std::string ComPortPath(int n) { return n < 1 ? std::string() : SerialDevicePath(static_cast<unsigned>(n)); }

std::vector<SerialDeviceEntry> ListSerialDevices(const std::string& dev_dir, const std::string& by_id_dir,
                                                 const std::string& sys_tty_dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(dev_dir, error)) {
    const std::string name = entry.path().filename().string();
    if (IsSerialName(name) && !HasNoUart(sys_tty_dir, name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const auto split_a = SplitNumber(a), split_b = SplitNumber(b);
    const auto rank = [](const std::string& prefix) {
      return std::find(std::begin(kPrefixes), std::end(kPrefixes), prefix) - std::begin(kPrefixes);
    };
    return std::pair(rank(split_a.first), split_a.second) < std::pair(rank(split_b.first), split_b.second);
  });
  const std::map<std::string, std::string> by_id = ByIdNames(by_id_dir, dev_dir);
  std::vector<SerialDeviceEntry> devices;
  for (const std::string& name : names) {
    const std::string path = (fs::path(dev_dir) / name).string();
    const auto found = by_id.find(path);
    devices.push_back({path, found == by_id.end() ? std::string() : found->second});
  }
  return devices;
}

std::vector<SerialDeviceEntry> ListSerialDevices() { return ListSerialDevices("/dev", "/dev/serial/by-id", "/sys/class/tty"); }

}  // namespace veritor
