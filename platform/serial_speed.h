#pragma once

namespace veritor {

// Line speeds in plain baud, set and read through the kernel's termios2, so
// that any rate (126000, say) works, not only the B-constants of termios.h.
// Both leave the rest of the line settings as they are.

// 0 when set, otherwise the errno of the failure.
int SetLineSpeed(int fd, unsigned long baud);

// The output speed the driver holds now; 0 when it cannot be read.
unsigned long ReadLineSpeed(int fd);

}  // namespace veritor
