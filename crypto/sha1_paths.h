#pragma once

// The two compressions behind Sha1Transform, exposed so that tests can pit
// them against each other. Each runs `count` consecutive 64-byte blocks.

#include <cstddef>
#include <cstdint>

namespace veritor::sha1_paths {

void TransformPortable(uint32_t state[5], const uint8_t* blocks, size_t count);

// True when this CPU has the SHA instructions TransformShaNi needs.
bool ShaNiSupported();
// Only to be called when ShaNiSupported(); elsewhere it runs the portable path.
void TransformShaNi(uint32_t state[5], const uint8_t* blocks, size_t count);

}  // namespace veritor::sha1_paths
