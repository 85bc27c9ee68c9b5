#pragma once

#include <string>

#include "platform/byte_port.h"

namespace veritor {

// The device path of serial port n (COMn): $VERITOR_COM<n> when set and not
// empty, else /dev/ttyS<n-1>. Empty for port 0, which does not exist.
std::string SerialDevicePath(unsigned port_number);

// Plain words for an errno from opening or setting up a port, with the fix
// where the operator can apply one.
std::string DescribeOpenFailure(int err);

// An open, configured serial line that this program holds exclusively
// (flock and TIOCEXCL). All operations are non-blocking; a line whose far end
// has gone reads nothing, counts 0 and says it hung up.
class PosixSerialPort final : public BytePort {
 public:
  // Takes over a descriptor that PosixPortOpener has locked and configured.
  explicit PosixSerialPort(int fd);
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  size_t InputCount() override;
  bool ReadByte(uint8_t& byte) override;
  // Waits up to 100 ms for room when the output queue is full.
  bool WriteByte(uint8_t byte) override;
  void Purge() override;
  void Drain() override;
  int WaitHandle() const override { return fd_; }
  bool HungUp() const override { return hung_up_; }

 private:
  int fd_;
  bool hung_up_ = false;  // a count or a write failed with EIO
};

// Opens SerialDevicePath(n), or a device path, raw, without flow control,
// DTR and RTS raised.
class PosixPortOpener final : public PortOpener {
 public:
  PortOpenResult Open(unsigned port_number, const LineSettings& settings) override;
  PortOpenResult OpenPath(const std::string& path, const LineSettings& settings) override;
};

}  // namespace veritor
