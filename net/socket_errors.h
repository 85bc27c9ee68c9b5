#pragma once

#include <string>

#include "core/log.h"

namespace veritor {

// The Windows Sockets name of an error code without its leading WSA
// ("ECONNRESET", "HOST_NOT_FOUND"), or "Unknown 0x%04X" for a code outside
// the table.
std::string SocketErrorName(int code);

// WSAENOTSOCK: what a socket call on a link with no socket gives.
inline constexpr int kErrorNotSocket = 10038;

// Logs "context: NAME".
void ReportSocketError(MessageLog& log, const char* context, int code);

}  // namespace veritor
