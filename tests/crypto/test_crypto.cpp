#include "crypto/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/sha1_paths.h"
#include "tests/support/temp_dir.h"

namespace veritor {
namespace {

const uint8_t* Bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// Digest of `message` fed to Sha1Update in pieces ending at each cut.
std::string Digest(const std::string& message, std::vector<size_t> cuts = {}) {
  Sha1Context context;
  Sha1Init(context);
  cuts.push_back(message.size());
  for (size_t start = 0; size_t cut : cuts) {
    Sha1Update(context, Bytes(message) + start, static_cast<uint32_t>(cut - start));
    start = cut;
  }
  uint8_t digest[20];
  Sha1Final(digest, context);
  char hex[41];
  for (int i = 0; i < 20; ++i) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  return hex;
}

// The published vectors, then messages whose padding falls on each side of a block end.
const struct {
  std::string message;
  const char* hex;
} kDigestCases[] = {
    {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
    {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmno"
     "pqrsmnopqrstnopqrstu",
     "A49B2446A02C645BF419F995B67091253A04A259"},
    {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
    {std::string(55, 'a'), "C1C8BBDC22796E28C0E15163D20899B65621D65A"},
    {std::string(56, 'a'), "C2DB330F6083854C99D4B5BFB6E8F29F201BE699"},
    {std::string(63, 'a'), "03F09F5B158A7A8CDAD920BDDC29B81C18A551F5"},
    {std::string(64, 'a'), "0098BA824B5C16427BD7A1122A5A442A25EC644D"},
    {std::string(65, 'a'), "11655326C708D70319BE2610E8A57D9A5B959D3B"},
    // A file read in 1024-byte pieces ends on a piece's end, then one byte into the next.
    {std::string(1024, 'a'), "8ECA554631DF9EAD14510E1A70AE48C70F9B9384"},
    {std::string(1025, 'a'), "1009DE2EF6183BD6D8C08F1ED8DF4847E71F7ACB"},
};

// Each message also goes in three pieces that leave incomplete blocks waiting, and
// as a file, which FileFingerprint reads in 1024-byte pieces.
TEST(Sha1, MessagesAndTheirFilesDigestToThePublishedValues) {
  test::TempDir dir;
  for (const auto& row : kDigestCases) {
    SCOPED_TRACE(row.message.size());
    EXPECT_EQ(Digest(row.message), row.hex);
    EXPECT_EQ(Digest(row.message, {row.message.size() / 3, row.message.size() / 2}), row.hex);
    test::WriteFile(dir.file("message"), row.message);
    char text[41];
    EXPECT_EQ(FileFingerprint(dir.file("message").c_str(), text), kFingerprintOk);
    EXPECT_STREQ(text, row.hex);
  }
  char text[41] = "previous";
  EXPECT_EQ(FileFingerprint(dir.file("missing").c_str(), text), kFingerprintCannotOpen);
  EXPECT_EQ(FileFingerprint(dir.path().c_str(), text), kFingerprintReadError);  // a folder opens, then reads fail
  EXPECT_STREQ(text, "previous");
}

// Without the SHA instructions the portable path is the one the vectors above run through.
TEST(Sha1, ShaInstructionPathMatchesThePortableOne) {
  if (!sha1_paths::ShaNiSupported()) GTEST_SKIP() << "this CPU has no SHA instructions";
  std::string blocks(64 * 37, '\0');
  std::mt19937 generator(3);
  for (char& byte : blocks) byte = static_cast<char>(generator());
  blocks.replace(0, 64, std::string("abc\x80") + std::string(59, '\0') + '\x18');  // "abc" padded
  uint32_t portable[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  uint32_t accelerated[5];
  std::copy(portable, portable + 5, accelerated);
  sha1_paths::TransformShaNi(accelerated, Bytes(blocks), 1);
  const uint32_t abc[5] = {0xA9993E36, 0x4706816A, 0xBA3E2571, 0x7850C26C, 0x9CD0D89D};
  EXPECT_TRUE(std::equal(accelerated, accelerated + 5, abc));
  sha1_paths::TransformShaNi(accelerated, Bytes(blocks) + 64, 36);
  sha1_paths::TransformPortable(portable, Bytes(blocks), 37);
  EXPECT_TRUE(std::equal(portable, portable + 5, accelerated));
}

TEST(Base64, BlocksEncodeToStandardPaddedText) {
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="}, {"abcde", "YWJjZGU="}, {"abcdef", "YWJjZGVm"},
      {std::string(1, '\0'), "AA=="}, {"\x80\xFF", "gP8="}, {"\xFB\xEF\xFF", "++//"},
  };
  for (const auto& row : cases) {
    char text[16];
    const int length = Base64Encode(Bytes(row.bytes), text, int32_t(row.bytes.size()));
    EXPECT_EQ(std::string(text, length + 1), std::string(row.text) + '\0');
    EXPECT_EQ(Base64Decode(row.text), row.bytes) << row.text;
  }
  // Nothing to encode, or more than the output size can count: only the terminator is written.
  for (int32_t length : {0, -1, kBase64MaxEncodeLength + 1}) {
    char text[4] = "xyz";
    EXPECT_EQ(Base64Encode(Bytes("abc"), text, length), length > 0 ? -1 : 0);
    EXPECT_EQ(std::string(text, 3), std::string("\0yz", 3));
  }
}

}  // namespace
}  // namespace veritor
