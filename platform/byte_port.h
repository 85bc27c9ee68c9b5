#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veritor {

// An open serial line, byte by byte. Implementations never block.
class BytePort {
 public:
  virtual ~BytePort() = default;
  // Bytes waiting in the input queue.
  virtual size_t InputCount() = 0;
  // Takes one waiting byte; false when nothing could be read.
  virtual bool ReadByte(uint8_t& byte) = 0;
  // Sends one byte; false when it could not be written.
  virtual bool WriteByte(uint8_t byte) = 0;
  // Drops the bytes received and not read yet. What was written still goes
  // out: the device must see every byte the console wrote.
  virtual void Purge() = 0;
  // Returns once what was written has left the line.
  virtual void Drain() {}
  // A descriptor that becomes readable when input arrives, or -1.
  virtual int WaitHandle() const { return -1; }
  // True once the line's far end has gone (the device's end hung up, an
  // adapter unplugged): nothing passes any more. Known after a count or a
  // write met it.
  virtual bool HungUp() const { return false; }
};

struct LineSettings {
  unsigned long baud = 115200;
  char parity = 'N';          // N, E, O, M or S
  unsigned long data_bits = 8;  // 5 to 8
  unsigned long stop_bits = 1;  // 1 or 2
};

struct PortOpenResult {
  std::unique_ptr<BytePort> port;  // null when the open failed
  std::string path;                // the device path that was tried
  std::string reason;              // why it failed, for the operator
};

// Opens serial port number n (COMn) with the given settings.
class PortOpener {
 public:
  virtual ~PortOpener() = default;
  virtual PortOpenResult Open(unsigned port_number, const LineSettings& settings) = 0;
  // Opens a serial device by its path; openers without device paths refuse.
  virtual PortOpenResult OpenPath(const std::string& path, const LineSettings& /*settings*/) {
    return {nullptr, path, "cannot open " + path + ": no such device here"};
  }
};

}  // namespace veritor
