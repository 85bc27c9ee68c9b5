#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace veritor {

// The address a text names, by the rules of the classic inet_addr: "a.b.c.d",
// "a.b.c" (c 16 bits), "a.b" (b 24 bits) or "a" (32 bits), each part decimal,
// octal (leading 0) or hexadecimal (leading 0x). Blanks before and after are
// ignored. Anything else names no address: inet_addr would have made it
// 255.255.255.255 and sent to every device.
std::optional<Ipv4Address> ParseIpv4(std::string_view text);

// Why a request link (TCP, UDP) must not send to `address`, or nullptr when
// it may: 255.255.255.255 reaches every device, 0.x.x.x none.
const char* WhyNotADeviceAddress(Ipv4Address address);

// Dotted decimal.
std::string FormatIpv4(Ipv4Address address);

}  // namespace veritor
