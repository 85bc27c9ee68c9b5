#pragma once

#include <cstddef>
#include <cstdint>

namespace veritor {

struct Sha1Context {
  uint32_t state[5];
  uint32_t count[2];  // message bits taken in: low word, then high word
  uint8_t buffer[64];
};

void Sha1Init(Sha1Context& context);
void Sha1Update(Sha1Context& context, const uint8_t* data, uint32_t length);
// Finishes the message, writes the 20-byte digest and wipes the context.
void Sha1Final(uint8_t digest[20], Sha1Context& context);
// The compression of one 64-byte block into the five state words.
void Sha1Transform(uint32_t state[5], const uint8_t block[64]);

inline constexpr int kFingerprintOk = 0;
inline constexpr int kFingerprintCannotOpen = 1;
inline constexpr int kFingerprintReadError = 2;

// SHA-1 of a whole file as 40 upper-case hexadecimal digits and a NUL in
// `text` (at least 41 characters). 0 success, 1 the file cannot be opened,
// 2 a read error; on failure `text` is left untouched.
int FileFingerprint(const char* path, char text[41]);

}  // namespace veritor
