#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "session/console_links.h"

namespace veritor {

// Hex text as bytes: pairs of hex digits, spaces between bytes allowed
// ("05", "02 76 2F 36 35 03", "0576"); nothing for any other text.
std::optional<std::string> ParseHexBytes(std::string_view text);

struct RawSendOutcome {
  bool sent = false;
  size_t received = 0;  // bytes that came back within the listening time
  std::string error;    // why nothing or not all was sent
};

// Writes `bytes` on the link that is open, as they are: byte by byte on a
// serial port, one datagram on SDNP and UDP, one piece of the stream on TCP.
// Then takes what comes back for `listen_ms`, which the raw view shows. No
// sequence number, frame or request of the protocol is touched.
RawSendOutcome SendRawBytes(Host& host, ConsoleLinks& links, const std::string& bytes, uint32_t listen_ms);

}  // namespace veritor
