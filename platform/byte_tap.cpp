#include "platform/byte_tap.h"

#include <string>
#include <utility>

namespace veritor {

namespace {

constexpr uint8_t kStx = 0x02, kEtx = 0x03;

// Gathers the serial bytes into frames: a packet from STX to ETX, any other
// byte (ENQ, ACK, NAK, CAN, noise) alone; a turn of direction or a purge ends
// an unfinished packet.
class SerialFramer {
 public:
  void Add(TapSwitch& tap, TapDirection direction, uint8_t byte) {
    if (!frame_.empty() && direction != direction_) Flush(tap);
    direction_ = direction;
    if (frame_.empty() && byte != kStx) {
      Emit(tap, direction, &byte, 1);
      return;
    }
    frame_.push_back(static_cast<char>(byte));
    if (byte == kEtx || frame_.size() >= kMaxFrame) Flush(tap);
  }
  void Flush(TapSwitch& tap) {
    if (frame_.empty()) return;
    Emit(tap, direction_, reinterpret_cast<const uint8_t*>(frame_.data()), frame_.size());
    frame_.clear();
  }

 private:
  static constexpr size_t kMaxFrame = 4096;
  static void Emit(TapSwitch& tap, TapDirection direction, const uint8_t* data, size_t length) {
    if (tap.tap != nullptr) tap.tap->OnFrame("serial", direction, data, length);
  }
  TapDirection direction_ = TapDirection::kSent;
  std::string frame_;
};

class TappedBytePort final : public BytePort {
 public:
  TappedBytePort(std::unique_ptr<BytePort> inner, TapSwitch& tap) : inner_(std::move(inner)), tap_(tap) {}
  ~TappedBytePort() override { framer_.Flush(tap_); }

  size_t InputCount() override { return inner_->InputCount(); }
  bool ReadByte(uint8_t& byte) override {
    const bool read = inner_->ReadByte(byte);
    if (read && tap_.tap != nullptr) framer_.Add(tap_, TapDirection::kReceived, byte);
    return read;
  }
  bool WriteByte(uint8_t byte) override {
    const bool written = inner_->WriteByte(byte);
    if (written && tap_.tap != nullptr) framer_.Add(tap_, TapDirection::kSent, byte);
    return written;
  }
  void Purge() override {
    if (tap_.tap != nullptr) framer_.Flush(tap_);
    inner_->Purge();
  }
  void Drain() override { inner_->Drain(); }
  int WaitHandle() const override { return inner_->WaitHandle(); }
  bool HungUp() const override { return inner_->HungUp(); }

 private:
  std::unique_ptr<BytePort> inner_;
  TapSwitch& tap_;
  SerialFramer framer_;
};

void Report(TapSwitch& tap, const char* link, TapDirection direction, const void* data, size_t length) {
  if (tap.tap != nullptr) tap.tap->OnFrame(link, direction, static_cast<const uint8_t*>(data), length);
}

class TappedDatagramSocket final : public DatagramSocket {
 public:
  TappedDatagramSocket(std::unique_ptr<DatagramSocket> inner, TapSwitch& tap) : inner_(std::move(inner)), tap_(tap) {}
  int Bind(Ipv4Address address, uint16_t port) override { return inner_->Bind(address, port); }
  int EnableBroadcast() override { return inner_->EnableBroadcast(); }
  int SendTo(Ipv4Address address, uint16_t port, const void* data, size_t length, size_t& sent) override {
    const int result = inner_->SendTo(address, port, data, length, sent);
    if (result == 0) Report(tap_, "udp", TapDirection::kSent, data, sent);
    return result;
  }
  int NextDatagram(bool& pending, size_t& size) override { return inner_->NextDatagram(pending, size); }
  int ReceiveFrom(void* buffer, size_t capacity, size_t& length, Ipv4Address& sender) override {
    const int result = inner_->ReceiveFrom(buffer, capacity, length, sender);
    if (result == 0) Report(tap_, "udp", TapDirection::kReceived, buffer, length < capacity ? length : capacity);
    return result;
  }
  int WaitHandle() const override { return inner_->WaitHandle(); }

 private:
  std::unique_ptr<DatagramSocket> inner_;
  TapSwitch& tap_;
};

class TappedStreamSocket final : public StreamSocket {
 public:
  TappedStreamSocket(std::unique_ptr<StreamSocket> inner, TapSwitch& tap) : inner_(std::move(inner)), tap_(tap) {}
  int StartConnect(Ipv4Address address, uint16_t port) override { return inner_->StartConnect(address, port); }
  int CheckConnected(bool& connected) override { return inner_->CheckConnected(connected); }
  int Send(const void* data, size_t length, size_t& sent) override {
    const int result = inner_->Send(data, length, sent);
    if (result == 0 && sent > 0) Report(tap_, "tcp", TapDirection::kSent, data, sent);
    return result;
  }
  int Pending(size_t& count) override { return inner_->Pending(count); }
  int Receive(void* buffer, size_t capacity, size_t& length) override {
    const int result = inner_->Receive(buffer, capacity, length);
    if (result == 0 && length > 0) Report(tap_, "tcp", TapDirection::kReceived, buffer, length);
    return result;
  }
  int WaitHandle() const override { return inner_->WaitHandle(); }

 private:
  std::unique_ptr<StreamSocket> inner_;
  TapSwitch& tap_;
};

}  // namespace

PortOpenResult TappingPortOpener::Wrap(PortOpenResult opened) {
  if (opened.port) opened.port = std::make_unique<TappedBytePort>(std::move(opened.port), tap_);
  return opened;
}

PortOpenResult TappingPortOpener::Open(unsigned port_number, const LineSettings& settings) {
  if (port_number == path_port_ && !path_.empty()) return OpenPath(path_, settings);
  return Wrap(inner_.Open(port_number, settings));
}

PortOpenResult TappingPortOpener::OpenPath(const std::string& path, const LineSettings& settings) {
  return Wrap(inner_.OpenPath(path, settings));
}

void TappingPortOpener::SetDevicePath(unsigned port_number, std::string path) {
  path_port_ = port_number;
  path_ = std::move(path);
}

int TappingNetwork::OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) {
  const int result = inner_.OpenDatagramSocket(socket);
  if (socket) socket = std::make_unique<TappedDatagramSocket>(std::move(socket), tap_);
  return result;
}

int TappingNetwork::OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) {
  const int result = inner_.OpenStreamSocket(socket);
  if (socket) socket = std::make_unique<TappedStreamSocket>(std::move(socket), tap_);
  return result;
}

}  // namespace veritor
