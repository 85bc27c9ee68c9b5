#pragma once

#include <cstdint>

namespace veritor {

// The TCP link: the request text and CR LF on a stream to this port.
inline constexpr uint16_t kTcpPort = 24222;

// The UDP link: serial-style packets in datagrams to and from this port, and
// single-byte control datagrams.
inline constexpr uint16_t kUdpPort = 9101;
inline constexpr uint8_t kUdpEnq = 0x05;
inline constexpr uint8_t kUdpAck = 0x06;
inline constexpr uint8_t kUdpResync = 0x10;
inline constexpr uint8_t kUdpNak = 0x16;

}  // namespace veritor
