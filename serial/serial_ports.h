#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/host.h"
#include "platform/byte_port.h"

namespace veritor {

// The port table: serial ports 1 to 4 and the byte-level operations the
// serial protocol needs. A port number outside 1 to 4, or a closed port,
// makes every operation do nothing (reads give 0).
class SerialPorts {
 public:
  static constexpr int kPortCount = 4;

  SerialPorts(Host& host, PortOpener& opener);
  ~SerialPorts();
  SerialPorts(const SerialPorts&) = delete;
  SerialPorts& operator=(const SerialPorts&) = delete;

  // 1 when the port is open (also when it already was, with its old
  // settings), 0 when it could not be opened.
  int OpenPort(int port, unsigned long baud, char parity, unsigned long data_bits, unsigned long stop_bits);
  void ClosePort(int port);
  bool IsOpen(int port) const;
  // The port's far end has gone: nothing passes any more.
  bool HungUp(int port) const;

  size_t InputCount(int port);
  // The byte read, or 0 when nothing could be read.
  uint8_t ReadPortByte(int port);
  void WritePortByte(int port, uint8_t byte);
  void PurgePort(int port);

  // Waits on port ActiveLink: 1 as soon as a byte is waiting, 0 once more
  // than `ms` milliseconds have passed, at once when the port has hung up,
  // or when nothing waits and a stop
  // ends the exchange (Host::StopEndsExchange). Pumps the event loop on every
  // turn.
  int WaitForInput(uint32_t ms);

 private:
  BytePort* Slot(int port) const;

  Host& host_;
  PortOpener& opener_;
  std::array<std::unique_ptr<BytePort>, kPortCount> table_;
};

}  // namespace veritor
