#include "crypto/base64.h"

#include <array>
#include <cstddef>
#include <limits>

namespace veritor {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotInAlphabet = 0xFF;

static_assert(kBase64MaxEncodeLength == std::numeric_limits<int>::max() / 4 * 3);

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (uint8_t value = 0; value < 64; ++value) {
    table[static_cast<unsigned char>(kAlphabet[value])] = value;
  }
  return table;
}
constexpr std::array<uint8_t, 256> kDecodeTable = MakeDecodeTable();

void EncodeGroup(uint32_t bits, int charCount, char* out) {
  for (int i = 0; i < 4; ++i) {
    out[i] = i < charCount ? kAlphabet[(bits >> (18 - 6 * i)) & 0x3F] : '=';
  }
}

uint8_t SextetAt(std::string_view text, size_t position) {
  return kDecodeTable[static_cast<unsigned char>(text[position])];
}

size_t PaddingCount(std::string_view text) {
  if (text.empty() || text.back() != '=') return 0;
  return text[text.size() - 2] == '=' ? 2 : 1;
}

// Decodes one 4-character group that carries `byteCount` bytes (1 to 3);
// false on a character outside the alphabet or stray bits under the padding.
bool DecodeGroup(std::string_view group, size_t byteCount, std::string& out) {
  uint32_t bits = 0;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t sextet = i <= byteCount ? SextetAt(group, i) : 0;
    if (sextet == kNotInAlphabet) return false;
    bits = (bits << 6) | sextet;
  }
  const uint32_t unusedBits = bits & ((1u << (8 * (3 - byteCount))) - 1);
  if (unusedBits != 0) return false;
  for (size_t i = 0; i < byteCount; ++i) out.push_back(static_cast<char>(bits >> (16 - 8 * i)));
  return true;
}

}  // namespace

int Base64Encode(const uint8_t* data, char* output, int32_t length) {
  if (length > kBase64MaxEncodeLength) {
    output[0] = '\0';
    return -1;
  }
  char* out = output;
  int32_t index = 0;
  for (; index + 3 <= length; index += 3, out += 4) {
    EncodeGroup((uint32_t{data[index]} << 16) | (uint32_t{data[index + 1]} << 8) | data[index + 2],
                4, out);
  }
  const int32_t left = length - index;
  if (left == 1) EncodeGroup(uint32_t{data[index]} << 16, 2, out);
  if (left == 2) EncodeGroup((uint32_t{data[index]} << 16) | (uint32_t{data[index + 1]} << 8), 3, out);
  if (left > 0) out += 4;
  *out = '\0';
  return static_cast<int>(out - output);
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  const size_t padding = PaddingCount(text);
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t start = 0; start < text.size(); start += 4) {
    const bool last = start + 4 == text.size();
    const size_t byteCount = last ? 3 - padding : 3;
    if (!DecodeGroup(text.substr(start, 4), byteCount, bytes)) return std::nullopt;
  }
  return bytes;
}

}  // namespace veritor
