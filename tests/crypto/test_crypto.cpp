#include "crypto/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/sha1_paths.h"

namespace veritor {
namespace {

namespace fs = std::filesystem;

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

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

struct DigestCase {
  std::string message;
  const char* hex;
};

// The published vectors, then messages whose padding falls on each side of a block end.
const std::vector<DigestCase> kDigestCases = {
    {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
    {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmno"
     "pqrsmnopqrstnopqrstu",
     "A49B2446A02C645BF419F995B67091253A04A259"},
    {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
    {std::string(55, 'a'), "C1C8BBDC22796E28C0E15163D20899B65621D65A"},
    {std::string(56, 'a'), "C2DB330F6083854C99D4B5BFB6E8F29F201BE699"},
    {std::string(63, 'a'), "03F09F5B158A7A8CDAD920BDDC29B81C18A551F5"},
    {std::string(64, 'a'), "0098BA824B5C16427BD7A1122A5A442A25EC644D"},
    {std::string(65, 'a'), "11655326C708D70319BE2610E8A57D9A5B959D3B"},
};

TEST(Sha1, KnownMessagesDigestToTheirPublishedValues) {
  for (const DigestCase& row : kDigestCases) {
    EXPECT_EQ(Digest(row.message), row.hex) << "message of " << row.message.size() << " bytes";
  }
}

TEST(Sha1, DigestDoesNotDependOnHowTheMessageIsSplit) {
  const std::string message = RandomBytes(5000, 1);
  std::mt19937 generator(2);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<size_t> cuts(1 + generator() % 8);
    for (size_t& cut : cuts) cut = generator() % (message.size() + 1);
    std::sort(cuts.begin(), cuts.end());
    EXPECT_EQ(Digest(message, cuts), Digest(message)) << "trial " << trial;
  }
}

TEST(Sha1, BitCountCarriesIntoTheHighWordAndFinalWipesTheContext) {
  Sha1Context context;
  Sha1Init(context);
  context.count[0] = 0xFFFFFFF8;  // one byte short of 2^32 bits, 63 bytes waiting
  const uint8_t twoBytes[2] = {1, 2};
  Sha1Update(context, twoBytes, 2);
  EXPECT_EQ(context.count[0], 8u);
  EXPECT_EQ(context.count[1], 1u);
  uint8_t digest[20];
  Sha1Final(digest, context);
  const Sha1Context zero{};
  EXPECT_EQ(std::memcmp(&context, &zero, sizeof context), 0);
}

// Without the SHA instructions the portable path is the one the vectors above run through.
TEST(Sha1, ShaInstructionPathMatchesThePortableOne) {
  if (!sha1_paths::ShaNiSupported()) GTEST_SKIP() << "this CPU has no SHA instructions";
  std::string blocks = RandomBytes(64 * 37, 3);
  blocks.replace(0, 64, std::string("abc\x80") + std::string(59, '\0') + '\x18');  // "abc" padded
  uint32_t portable[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  uint32_t accelerated[5];
  std::copy(portable, portable + 5, accelerated);
  sha1_paths::TransformPortable(portable, Bytes(blocks), 1);
  const uint32_t abc[5] = {0xA9993E36, 0x4706816A, 0xBA3E2571, 0x7850C26C, 0x9CD0D89D};
  EXPECT_TRUE(std::equal(portable, portable + 5, abc));
  sha1_paths::TransformShaNi(accelerated, Bytes(blocks), 1);
  EXPECT_TRUE(std::equal(accelerated, accelerated + 5, abc));
  sha1_paths::TransformPortable(portable, Bytes(blocks) + 64, 36);
  sha1_paths::TransformShaNi(accelerated, Bytes(blocks) + 64, 36);
  EXPECT_TRUE(std::equal(portable, portable + 5, accelerated));
}

class Fingerprint : public ::testing::Test {
 protected:
  Fingerprint() { fs::create_directories(directory_); }
  ~Fingerprint() override { fs::remove_all(directory_); }

  std::string WriteFile(const std::string& content) {
    const fs::path path = directory_ / std::to_string(++files_);
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  const fs::path directory_ =
      fs::temp_directory_path() / ("veritor-crypto-" + std::to_string(std::random_device{}()));
  int files_ = 0;
};

TEST_F(Fingerprint, FileDigestsAsUpperCaseHexOfItsWholeContent) {
  for (const DigestCase& row : kDigestCases) {
    char text[41];
    EXPECT_EQ(FileFingerprint(WriteFile(row.message).c_str(), text), kFingerprintOk);
    EXPECT_STREQ(text, row.hex) << "file of " << row.message.size() << " bytes";
  }
}

TEST_F(Fingerprint, FailureLeavesTheTextUntouched) {
  char text[41] = "previous";
  EXPECT_EQ(FileFingerprint((directory_ / "missing").c_str(), text), kFingerprintCannotOpen);
  EXPECT_STREQ(text, "previous");
  EXPECT_EQ(FileFingerprint(directory_.c_str(), text), kFingerprintReadError);  // a directory
  EXPECT_STREQ(text, "previous");
}

struct Base64Case {
  std::string bytes;
  const char* text;
};

const std::vector<Base64Case> kBase64Cases = {
    {"", ""},
    {"a", "YQ=="},
    {"ab", "YWI="},
    {"abc", "YWJj"},
    {"abcd", "YWJjZA=="},
    {std::string(1, '\0'), "AA=="},
    {"\x80\xFF", "gP8="},
    {"\xFB\xEF\xFF", "++//"},
};

TEST(Base64, BlocksEncodeToStandardPaddedText) {
  for (const Base64Case& row : kBase64Cases) {
    char text[16];
    const int length = Base64Encode(Bytes(row.bytes), text, int32_t(row.bytes.size()));
    EXPECT_EQ(std::string(text, length + 1), std::string(row.text) + '\0');
    EXPECT_EQ(Base64Decode(row.text), row.bytes) << row.text;
  }
}

TEST(Base64, LargestSigningBlockGivesOneUnbrokenLine) {
  char text[1001];
  ASSERT_EQ(Base64Encode(Bytes(RandomBytes(750, 4)), text, 750), 1000);
  EXPECT_EQ(std::strlen(text), 1000u);
  EXPECT_EQ(std::strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
            1000u);
}

TEST(Base64, EveryByteValueSurvivesTheRoundTrip) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  for (size_t size = 0; size <= all.size(); ++size) {
    const std::string bytes = all.substr(all.size() - size);
    std::vector<char> text(4 * ((size + 2) / 3) + 1, 'x');
    ASSERT_EQ(Base64Encode(Bytes(bytes), text.data(), int32_t(size)), int(text.size() - 1));
    EXPECT_EQ(Base64Decode(text.data()), bytes);
  }
}

TEST(Base64, EncoderWritesOnlyTheTerminatorWhenThereIsNothingToEncode) {
  const uint8_t byte = 0x41;
  for (int32_t length : {0, -1, kBase64MaxEncodeLength + 1}) {  // the last is refused unread
    char text[4] = "xyz";
    EXPECT_EQ(Base64Encode(&byte, text, length), length > 0 ? -1 : 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'y');
  }
}

TEST(Base64, DecoderRejectsMalformedText) {
  for (const char* text : {"YQ", "YQ=", "YWJjZ", "Y===", "====", "YQ==YQ==", "Y Q=", "YWJj\n",
                           "YQ=A", "YR==", "YWJ=", "YW-j", "YW_j"}) {
    EXPECT_EQ(Base64Decode(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace veritor
