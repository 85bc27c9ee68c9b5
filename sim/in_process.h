#pragma once

#include <memory>
#include <string>

#include "platform/byte_port.h"
#include "platform/message_pump.h"
#include "platform/tick_clock.h"
#include "sim/device_model.h"
#include "sim/serial_device.h"

namespace veritor::sim {

// A simulated device on an in-memory serial line, driven by a virtual clock.
// The console opens it through opener() (every port number 1 to 4 reaches the
// same device) and waits through pump(): each turn lets the device act on the
// bytes that reached it, releases the bytes it has due, and advances the clock
// by 1 ms. A purge by the console drops bytes the device has not taken yet,
// as on a real line.
class InProcessSerial {
 public:
  explicit InProcessSerial(VirtualTickClock& clock);
  ~InProcessSerial();

  DeviceModel& model();
  SerialDevice& device();
  PortOpener& opener();
  MessagePump& pump();

  // Every byte the console wrote (after purges) and every byte the device
  // sent, in order, for byte-for-byte checks of the wire.
  const std::string& HostBytes() const;
  const std::string& DeviceBytes() const;

  // Makes the next opens fail with this reason ("" opens again).
  void FailOpens(const std::string& reason);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace veritor::sim
