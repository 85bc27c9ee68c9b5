#include "serial/serial_ports.h"

namespace veritor {

SerialPorts::SerialPorts(Host& host, PortOpener& opener) : host_(host), opener_(opener) {}

SerialPorts::~SerialPorts() {
  for (int port = 1; port <= kPortCount; ++port) ClosePort(port);
}

BytePort* SerialPorts::Slot(int port) const {
  if (port < 1 || port > kPortCount) return nullptr;
  return table_[static_cast<size_t>(port - 1)].get();
}

bool SerialPorts::IsOpen(int port) const { return Slot(port) != nullptr; }

bool SerialPorts::HungUp(int port) const {
  const BytePort* slot = Slot(port);
  return slot != nullptr && slot->HungUp();
}

int SerialPorts::OpenPort(int port, unsigned long baud, char parity, unsigned long data_bits,
                          unsigned long stop_bits) {
  if (port < 1 || port > kPortCount) return 0;
  if (IsOpen(port)) return 1;
  PortOpenResult opened = opener_.Open(static_cast<unsigned>(port), {baud, parity, data_bits, stop_bits});
  if (!opened.port) {
    host_.log.LogMessage("COM%d: %s", port, opened.reason.c_str());
    return 0;
  }
  if (opened.port->WaitHandle() >= 0) host_.pump.WatchInput(opened.port->WaitHandle());
  table_[static_cast<size_t>(port - 1)] = std::move(opened.port);
  return 1;
}

void SerialPorts::ClosePort(int port) {
  BytePort* slot = Slot(port);
  if (slot == nullptr) return;
  slot->Purge();
  if (slot->WaitHandle() >= 0) host_.pump.UnwatchInput(slot->WaitHandle());
  table_[static_cast<size_t>(port - 1)].reset();
}

size_t SerialPorts::InputCount(int port) {
  BytePort* slot = Slot(port);
  return slot ? slot->InputCount() : 0;
}

uint8_t SerialPorts::ReadPortByte(int port) {
  BytePort* slot = Slot(port);
  uint8_t byte = 0;
  if (slot == nullptr || slot->InputCount() == 0 || !slot->ReadByte(byte)) return 0;
  return byte;
}

void SerialPorts::WritePortByte(int port, uint8_t byte) {
  if (BytePort* slot = Slot(port)) slot->WriteByte(byte);
}

// The bytes written go out first (the ACK of the last reply, the CANs before
// an enquiry); only then is what came in dropped.
void SerialPorts::PurgePort(int port) {
  if (BytePort* slot = Slot(port)) {
    slot->Drain();
    slot->Purge();
  }
}

int SerialPorts::WaitForInput(uint32_t ms) {
  const uint32_t start = host_.clock.GetTickCount();
  while (true) {
    if (InputCount(host_.state.ActiveLink) != 0) return 1;
    if (HungUp(host_.state.ActiveLink)) return 0;
    if (host_.StopEndsExchange()) return 0;
    if (static_cast<uint32_t>(host_.clock.GetTickCount() - start) > ms) return 0;
    host_.pump.PumpOneMessage();
  }
}

}  // namespace veritor
