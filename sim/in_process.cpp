#include "sim/in_process.h"

#include <deque>

namespace veritor::sim {

namespace {

constexpr unsigned kFirstPort = 1;
constexpr unsigned kLastPort = 4;

// The wire between the console and the device. Ports share it through a
// shared pointer, so a port that outlives the simulation stays harmless.
struct Line {
  std::deque<uint8_t> to_device;  // written by the console, not yet taken
  std::deque<uint8_t> to_console; // sent by the device, not yet read
  std::string host_bytes;
  std::string device_bytes;
};

class ConsolePort final : public BytePort {
 public:
  explicit ConsolePort(std::shared_ptr<Line> line) : line_(std::move(line)) {}

  size_t InputCount() override { return line_->to_console.size(); }

  bool ReadByte(uint8_t& byte) override {
    if (line_->to_console.empty()) return false;
    byte = line_->to_console.front();
    line_->to_console.pop_front();
    return true;
  }

  bool WriteByte(uint8_t byte) override {
    line_->to_device.push_back(byte);
    line_->host_bytes += static_cast<char>(byte);
    return true;
  }

  void Purge() override { line_->to_console.clear(); }

 private:
  std::shared_ptr<Line> line_;
};

}  // namespace

struct InProcessSerial::Impl final : PortOpener, MessagePump {
  explicit Impl(VirtualTickClock& clock) : clock(clock), device(model) {}

  PortOpenResult Open(unsigned port_number, const LineSettings&) override {
    PortOpenResult result;
    result.path = "sim:COM" + std::to_string(port_number);
    if (port_number < kFirstPort || port_number > kLastPort) {
      result.reason = "No such port";
    } else if (!open_failure.empty()) {
      result.reason = open_failure;
    } else {
      result.port = std::make_unique<ConsolePort>(line);
    }
    return result;
  }

  void PumpOneMessage() override {
    const uint32_t now = clock.GetTickCount();
    while (!line->to_device.empty()) {
      const uint8_t byte = line->to_device.front();
      line->to_device.pop_front();
      device.OnHostByte(byte, now);
    }
    std::string due;
    device.TakeDue(now, due);
    line->to_console.insert(line->to_console.end(), due.begin(), due.end());
    line->device_bytes += due;
    clock.Advance(1);
  }

  VirtualTickClock& clock;
  DeviceModel model;
  SerialDevice device;
  std::shared_ptr<Line> line = std::make_shared<Line>();
  std::string open_failure;
};

InProcessSerial::InProcessSerial(VirtualTickClock& clock) : impl_(std::make_unique<Impl>(clock)) {}
InProcessSerial::~InProcessSerial() = default;

DeviceModel& InProcessSerial::model() { return impl_->model; }
SerialDevice& InProcessSerial::device() { return impl_->device; }
PortOpener& InProcessSerial::opener() { return *impl_; }
MessagePump& InProcessSerial::pump() { return *impl_; }
const std::string& InProcessSerial::HostBytes() const { return impl_->line->host_bytes; }
const std::string& InProcessSerial::DeviceBytes() const { return impl_->line->device_bytes; }
void InProcessSerial::FailOpens(const std::string& reason) { impl_->open_failure = reason; }

}  // namespace veritor::sim
