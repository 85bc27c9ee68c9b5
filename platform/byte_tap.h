#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/byte_port.h"
#include "platform/socket.h"

namespace veritor {

enum class TapDirection { kSent, kReceived };

// Where the raw bytes of the links go when someone wants to see them: one
// call per frame (a serial control byte or packet, a datagram, one send or
// receive on a stream).
class ByteTap {
 public:
  virtual ~ByteTap() = default;
  virtual void OnFrame(const char* link, TapDirection direction, const uint8_t* data, size_t length) = 0;
};

// The tap the wrapped ports and sockets report to; none while nobody looks,
// and then a wrapper costs one test of a pointer per call.
struct TapSwitch {
  ByteTap* tap = nullptr;
};

// A port opener whose ports report their bytes to the tap, and which opens
// a chosen device path for a port number when one is set.
class TappingPortOpener final : public PortOpener {
 public:
  TappingPortOpener(PortOpener& inner, TapSwitch& tap) : inner_(inner), tap_(tap) {}
  PortOpenResult Open(unsigned port_number, const LineSettings& settings) override;
  PortOpenResult OpenPath(const std::string& path, const LineSettings& settings) override;

  // From now on an Open of `port_number` opens `path`; empty: its usual path.
  void SetDevicePath(unsigned port_number, std::string path);

 private:
  PortOpenResult Wrap(PortOpenResult opened);

  PortOpener& inner_;
  TapSwitch& tap_;
  unsigned path_port_ = 0;
  std::string path_;
};

// A network whose sockets report what they send and receive to the tap.
class TappingNetwork final : public Network {
 public:
  TappingNetwork(Network& inner, TapSwitch& tap) : inner_(inner), tap_(tap) {}
  int Startup() override { return inner_.Startup(); }
  int OpenDatagramSocket(std::unique_ptr<DatagramSocket>& socket) override;
  int OpenStreamSocket(std::unique_ptr<StreamSocket>& socket) override;
  int LocalAddressFor(Ipv4Address device, uint16_t port, Ipv4Address& local) override {
    return inner_.LocalAddressFor(device, port, local);
  }
  std::vector<LocalNetwork> LocalNetworks() override { return inner_.LocalNetworks(); }

 private:
  Network& inner_;
  TapSwitch& tap_;
};

}  // namespace veritor
