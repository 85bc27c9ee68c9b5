#pragma once

#include <string>

#include "core/batch.h"
#include "core/command.h"
#include "core/host.h"

namespace veritor {

// Data block sizes: SDNP frames carry at most 500 payload bytes, every other
// link takes a 750-byte block, whose Base64 text is 1000 characters.
inline constexpr size_t kSdnpSigningBlock = 450;
inline constexpr size_t kSigningBlock = 750;
// The longest request an SDNP frame carries.
inline constexpr size_t kSdnpMaxRequest = 500;

// What the device does while one of its signature blocks is open.
inline constexpr char kOpenBlockRefusal[] =
    "it refuses the next \"{/0\" until \"}\" is sent or a new day begins";

// Has the device sign the whole file: opens a signature block ("{/0"), sends
// the file in TEXT ("@/") or BASE64 ("&/") data blocks, finishes the block
// ("}") and logs the transfer statistics. A run that fails after the opening
// command leaves the device's block open, without "}", and says in the log
// what was sent and what the device holds.
ActionOutcome SignFile(Host& host, CommandExecutor& executor, const std::string& path, bool verbose);

}  // namespace veritor
