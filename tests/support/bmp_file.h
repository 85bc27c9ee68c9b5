#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace veritor::test {

// A BMP file with an 8-byte colour table; stored row r (bottom first), byte
// j holds 0xA5 + 7r + j. `cut` bytes are taken off its end.
inline std::string Bmp(uint32_t width, uint32_t height, uint16_t bits = 1, size_t cut = 0) {
  std::string file(62, '\0');
  for (const auto& [offset, value] : {std::pair{10u, 62u}, {18u, width}, {22u, height}, {28u, uint32_t{bits}}})
    for (unsigned i = 0; i < 4; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
  for (size_t r = 0; r < std::min(height, 256u); ++r)
    for (size_t j = 0; j < (width + 31) / 32 * 4; ++j) file += static_cast<char>(0xA5 + r * 7 + j);
  return file.substr(0, file.size() - cut);
}

}  // namespace veritor::test
