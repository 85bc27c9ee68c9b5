#include "crypto/sha1.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "crypto/sha1_paths.h"

#if defined(__x86_64__) || defined(__i386__)
#define VERITOR_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace veritor {
namespace {

constexpr size_t kBlockSize = 64;
constexpr uint32_t kInitialState[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                       0xC3D2E1F0};

// Plain memset on memory that is about to die may be dropped by the optimiser.
void WipeBytes(void* memory, size_t size) {
  auto* bytes = static_cast<volatile uint8_t*>(memory);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

// ---------------------------------------------------------------------------
// Portable compression, fully unrolled: 16 groups of five steps whose
// variables rotate by argument position instead of by copying.

inline uint32_t RotateLeft(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

inline uint32_t LoadBigEndian(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

inline void StoreBigEndian(uint32_t value, uint8_t* bytes) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

struct Choose {
  static constexpr uint32_t kConstant = 0x5A827999;
  static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
};
struct Parity {
  static constexpr uint32_t kConstant = 0x6ED9EBA1;
  static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
};
struct Majority {
  static constexpr uint32_t kConstant = 0x8F1BBCDC;
  static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (d & (b | c)); }
};
struct LastParity : Parity {
  static constexpr uint32_t kConstant = 0xCA62C1D6;
};

// Message word `step`, kept in a 16-word ring.
template <int step>
inline uint32_t MessageWord(uint32_t ring[16], const uint8_t* block) {
  if constexpr (step < 16) {
    ring[step] = LoadBigEndian(block + 4 * step);
  } else {
    ring[step & 15] = RotateLeft(ring[(step - 3) & 15] ^ ring[(step - 8) & 15] ^
                                     ring[(step - 14) & 15] ^ ring[step & 15],
                                 1);
  }
  return ring[step & 15];
}

template <typename Mixer, int step>
inline void Step(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t ring[16],
                 const uint8_t* block) {
  e += RotateLeft(a, 5) + Mixer::Mix(b, c, d) + Mixer::kConstant + MessageWord<step>(ring, block);
  b = RotateLeft(b, 30);
}

template <int first>
inline void FiveSteps(uint32_t v[5], uint32_t ring[16], const uint8_t* block) {
  using Mixer = std::conditional_t<
      (first < 20), Choose,
      std::conditional_t<(first < 40), Parity, std::conditional_t<(first < 60), Majority, LastParity>>>;
  uint32_t& a = v[0];
  uint32_t& b = v[1];
  uint32_t& c = v[2];
  uint32_t& d = v[3];
  uint32_t& e = v[4];
  Step<Mixer, first + 0>(a, b, c, d, e, ring, block);
  Step<Mixer, first + 1>(e, a, b, c, d, ring, block);
  Step<Mixer, first + 2>(d, e, a, b, c, ring, block);
  Step<Mixer, first + 3>(c, d, e, a, b, ring, block);
  Step<Mixer, first + 4>(b, c, d, e, a, ring, block);
}

template <size_t... group>
inline void AllSteps(uint32_t v[5], uint32_t ring[16], const uint8_t* block,
                     std::index_sequence<group...>) {
  (FiveSteps<static_cast<int>(group) * 5>(v, ring, block), ...);
}

void CompressPortable(uint32_t state[5], const uint8_t* block) {
  uint32_t ring[16];
  uint32_t v[5] = {state[0], state[1], state[2], state[3], state[4]};
  AllSteps(v, ring, block, std::make_index_sequence<16>{});
  for (int i = 0; i < 5; ++i) state[i] += v[i];
}

// ---------------------------------------------------------------------------
// SHA-NI compression: 20 groups of four rounds. Message registers rotate
// through m[group % 4]; the E accumulators alternate through e[group % 2].

#ifdef VERITOR_SHA1_X86
#define VERITOR_SHA_TARGET __attribute__((target("sha,sse4.1"), always_inline))

template <int group>
VERITOR_SHA_TARGET inline void ShaNiGroup(__m128i& abcd, __m128i e[2], __m128i m[4],
                                          const uint8_t* block, __m128i byteSwap) {
  constexpr int current = group % 2;
  constexpr int other = 1 - current;
  if constexpr (group < 4) {
    m[group] = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * group)), byteSwap);
  }
  if constexpr (group == 0) {
    e[current] = _mm_add_epi32(e[current], m[0]);
  } else {
    e[current] = _mm_sha1nexte_epu32(e[current], m[group % 4]);
  }
  e[other] = abcd;
  if constexpr (group >= 3 && group <= 18) {
    m[(group + 1) % 4] = _mm_sha1msg2_epu32(m[(group + 1) % 4], m[group % 4]);
  }
  abcd = _mm_sha1rnds4_epu32(abcd, e[current], group / 5);
  if constexpr (group >= 1 && group <= 16) {
    m[(group + 3) % 4] = _mm_sha1msg1_epu32(m[(group + 3) % 4], m[group % 4]);
  }
  if constexpr (group >= 2 && group <= 17) {
    m[(group + 2) % 4] = _mm_xor_si128(m[(group + 2) % 4], m[group % 4]);
  }
}

template <size_t... group>
VERITOR_SHA_TARGET inline void ShaNiAllGroups(__m128i& abcd, __m128i e[2], __m128i m[4],
                                              const uint8_t* block, __m128i byteSwap,
                                              std::index_sequence<group...>) {
  (ShaNiGroup<static_cast<int>(group)>(abcd, e, m, block, byteSwap), ...);
}

__attribute__((target("sha,sse4.1"))) void CompressShaNi(uint32_t state[5], const uint8_t* blocks,
                                                         size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e[2] = {_mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0), _mm_setzero_si128()};
  __m128i m[4];
  for (; count > 0; --count, blocks += kBlockSize) {
    const __m128i abcdBefore = abcd;
    const __m128i eBefore = e[0];
    ShaNiAllGroups(abcd, e, m, blocks, byteSwap, std::make_index_sequence<20>{});
    // Group 19 left the last A in e[0]; it becomes the new E.
    e[0] = _mm_sha1nexte_epu32(e[0], eBefore);
    abcd = _mm_add_epi32(abcd, abcdBefore);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e[0], 3));
}
#endif

using CompressBlocks = void (*)(uint32_t*, const uint8_t*, size_t);

CompressBlocks ChooseCompression() {
  return sha1_paths::ShaNiSupported() ? sha1_paths::TransformShaNi
                                      : sha1_paths::TransformPortable;
}

void Compress(uint32_t state[5], const uint8_t* blocks, size_t count) {
  static const CompressBlocks compress = ChooseCompression();
  compress(state, blocks, count);
}

size_t BytesWaiting(const Sha1Context& context) { return (context.count[0] >> 3) & 63; }

void AddToBitCount(Sha1Context& context, uint32_t length) {
  const uint32_t lowBits = length << 3;
  context.count[0] += lowBits;
  if (context.count[0] < lowBits) ++context.count[1];
  context.count[1] += length >> 29;
}

void FormatHex(const uint8_t digest[20], char text[41]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < 20; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  text[40] = '\0';
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Digests everything the stream yields; false on a read error. Any error,
// even one after a partial read, counts: its bytes are missing from the digest.
bool DigestStream(std::FILE* file, uint8_t digest[20]) {
  constexpr size_t kReadSize = 1024;
  std::array<uint8_t, kReadSize> chunk;
  Sha1Context context;
  Sha1Init(context);
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
    if (got > 0) Sha1Update(context, chunk.data(), static_cast<uint32_t>(got));
    if (std::ferror(file)) {
      WipeBytes(&context, sizeof context);
      return false;
    }
    if (got < chunk.size()) break;
  }
  Sha1Final(digest, context);
  return true;
}

}  // namespace

namespace sha1_paths {

void TransformPortable(uint32_t state[5], const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += kBlockSize) CompressPortable(state, blocks);
}

bool ShaNiSupported() {
#ifdef VERITOR_SHA1_X86
  // CPUID rather than __builtin_cpu_supports, which knows no "sha" in clang 14.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return sse41 && (ebx & bit_SHA) != 0;
#else
  return false;
#endif
}

void TransformShaNi(uint32_t state[5], const uint8_t* blocks, size_t count) {
#ifdef VERITOR_SHA1_X86
  CompressShaNi(state, blocks, count);
#else
  TransformPortable(state, blocks, count);
#endif
}

}  // namespace sha1_paths

void Sha1Init(Sha1Context& context) {
  std::memcpy(context.state, kInitialState, sizeof context.state);
  context.count[0] = 0;
  context.count[1] = 0;
}

void Sha1Update(Sha1Context& context, const uint8_t* data, uint32_t length) {
  size_t waiting = BytesWaiting(context);
  AddToBitCount(context, length);
  size_t remaining = length;
  if (waiting + remaining < kBlockSize) {
    if (remaining > 0) std::memcpy(context.buffer + waiting, data, remaining);
    return;
  }
  if (waiting > 0) {
    const size_t fill = kBlockSize - waiting;
    std::memcpy(context.buffer + waiting, data, fill);
    Compress(context.state, context.buffer, 1);
    data += fill;
    remaining -= fill;
  }
  const size_t wholeBlocks = remaining / kBlockSize;
  if (wholeBlocks > 0) Compress(context.state, data, wholeBlocks);
  data += wholeBlocks * kBlockSize;
  remaining -= wholeBlocks * kBlockSize;
  if (remaining > 0) std::memcpy(context.buffer, data, remaining);
}

void Sha1Final(uint8_t digest[20], Sha1Context& context) {
  static constexpr uint8_t kPadding[kBlockSize] = {0x80};
  uint8_t bitCount[8];
  StoreBigEndian(context.count[1], bitCount);
  StoreBigEndian(context.count[0], bitCount + 4);
  const size_t waiting = BytesWaiting(context);
  const size_t padLength = waiting < 56 ? 56 - waiting : 120 - waiting;
  Sha1Update(context, kPadding, static_cast<uint32_t>(padLength));
  Sha1Update(context, bitCount, sizeof bitCount);
  for (int i = 0; i < 5; ++i) StoreBigEndian(context.state[i], digest + 4 * i);
  WipeBytes(&context, sizeof context);
  WipeBytes(bitCount, sizeof bitCount);
}

void Sha1Transform(uint32_t state[5], const uint8_t block[64]) { Compress(state, block, 1); }

int FileFingerprint(const char* path, char text[41]) {
  // A larger stream buffer saves a system call per 4 KiB; reads stay 1 KiB.
  constexpr size_t kStreamBufferSize = 256 * 1024;
  const auto streamBuffer = std::make_unique_for_overwrite<char[]>(kStreamBufferSize);
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) return kFingerprintCannotOpen;
  std::setvbuf(file.get(), streamBuffer.get(), _IOFBF, kStreamBufferSize);
  uint8_t digest[20];
  if (!DigestStream(file.get(), digest)) return kFingerprintReadError;
  FormatHex(digest, text);
  return kFingerprintOk;
}

}  // namespace veritor
