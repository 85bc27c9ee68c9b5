#pragma once

#include <string>
#include <string_view>

#include "platform/socket.h"

namespace veritor {

// The address a text names, by the rules of the classic inet_addr: "a.b.c.d",
// "a.b.c" (c 16 bits), "a.b" (b 24 bits) or "a" (32 bits), each part decimal,
// octal (leading 0) or hexadecimal (leading 0x). Anything else gives
// 255.255.255.255, as inet_addr does.
Ipv4Address ParseIpv4(std::string_view text);

// Dotted decimal.
std::string FormatIpv4(Ipv4Address address);

}  // namespace veritor
