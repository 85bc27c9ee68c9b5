#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "sim/device_model.h"
#include "sim/sdnp_device.h"
#include "sim/serial_device.h"
#include "sim/tcp_device.h"
#include "sim/udp_device.h"

namespace veritor::sim {

inline constexpr const char* kSimUsage =
    "usage: veritor-sim [--link PATH] [--no-serial] [--sdnp ADDR]... [--tcp ADDR]... [--udp ADDR]...\n"
    "                   [--tcp-bare-replies] [--fault SPEC]... [--report-lines N] [--seed S]\n"
    "                   [-h|--help] [-V|--version]";

// The command line of veritor-sim.
struct SimOptions {
  std::string link;                   // symlink to the served pty, or ""
  std::vector<std::string> faults;    // --fault specs, in order
  std::optional<size_t> report_lines; // a generated Z report of N lines
  uint32_t seed = 1;                  // for "random:P"
  bool help = false;
  bool version = false;
  bool serial = true;                 // --no-serial: no pty
  bool tcp_crlf = true;               // --tcp-bare-replies: TCP replies without CR LF
  // Addresses in 127.0.0.0/8 to serve each network link on.
  std::vector<Ipv4Address> sdnp;
  std::vector<Ipv4Address> tcp;
  std::vector<Ipv4Address> udp;
};

// Fills `options` from the arguments (without the program name); returns
// the reason when they are not valid.
std::optional<std::string> ParseSimOptions(const std::vector<std::string>& args,
                                           SimOptions& options);

// The devices a fault spec reaches: a network fault goes to every device of
// its link.
struct FaultTargets {
  SerialDevice* serial = nullptr;
  DeviceModel* model = nullptr;
  std::vector<SdnpDevice*> sdnp;
  std::vector<TcpDevice*> tcp;
  std::vector<UdpDevice*> udp;
};

// Adds one fault spec to the devices' plans or the model's queue:
//   enq-nak:N enq-can:N enq-silence:N pkt-nak:N pkt-can:N pkt-silence:N
//   reply-badsum:N reply-pause:MS[@K] reply-stray:HEX reply-long:N
//   reply-short[:N] reply-delay:MS busy:N offline:N
//   sdnp-rst:N sdnp-nak:N sdnp-badsum:N sdnp-echo:N sdnp-wrongfsn:N
//   sdnp-foreign:N sdnp-silence:N sdnp-qry-silence:N sdnp-syn-silence:N
//   sdnp-late:MS sdnp-nak-forever sdnp-rst-forever
//   tcp-silence:N tcp-late:MS tcp-split:MS tcp-close:N tcp-reset:N
//   udp-enq-silence:N udp-enq-wrong:N udp-nak:N udp-resync:N udp-silence:N
//   udp-badsum:N udp-duplicate:N udp-oversized[:BYTES] udp-empty:N
//   udp-foreign:N udp-late:MS
//   random:P (every link) serial-random:P sdnp-random:P tcp-random:P udp-random:P
//   soak:P soak-recoverable:P (every link, FaultMix::kEveryKind and
//   kEveryRecoverableKind)
// N (a count) may be left out for 1; a pause comes after K bytes (4 if left
// out). Returns false, changing nothing, when the description is not valid.
bool ApplyFaultSpec(const std::string& spec, uint32_t seed, FaultTargets& targets);
bool ApplyFaultSpec(const std::string& spec, uint32_t seed, SerialDevice& device,
                    DeviceModel& model);

}  // namespace veritor::sim
