#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veritor {

// Standard Base64 (A-Z a-z 0-9 + /, "=" padding, no line breaks). Writes
// 4 * ceil(length / 3) characters and a NUL into `output`, which holds at
// least that many plus one, and returns the count without the NUL. A length
// of 0 or less writes only the NUL. A length above kBase64MaxEncodeLength,
// whose count would not fit an int, also writes only the NUL and returns -1.
inline constexpr int32_t kBase64MaxEncodeLength = 1610612733;
int Base64Encode(const uint8_t* data, char* output, int32_t length);

// The bytes of a padded Base64 text, or nothing when it is not one.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace veritor
