// Batch files and bitmap uploads against a device written in the test, in every build (no window needed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/batch.h"
#include "core/bitmap.h"
#include "core/command.h"
#include "core/file_signing.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using Lines = std::vector<std::string>;
const char kBadRequest[] = "Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code";

// A device that answers each request by its text: one that begins "bogus" is refused, "silent" gets no reply,
// "toolong" is one the link refuses to send, the rest "00/00/00".
struct AnsweringDevice final : LinkTransaction {
  int Transact(const std::string& request, std::string& reply, bool) override {
    requests.push_back(request);
    if (request == "toolong") return kResultRequestTooLong;
    if (request == "silent" || (silent_after != 0 && requests.size() > silent_after)) return kResultNoAnswer;
    reply = request.starts_with("bogus") || refuse.count(requests.size()) ? "06/00/00" : "00/00/00";
    return kResultOk;
  }
  Lines requests;
  size_t silent_after = 0;   // requests after this many get no reply (0: never)
  std::set<size_t> refuse;   // the requests (counted from 1) the device refuses
};

class ActionTest : public ::testing::Test, protected test::VirtualHost {
 protected:
  AnsweringDevice device;
  CommandExecutor executor{host, device};
  test::TempDir dir;

  std::string File(const std::string& content) {
    test::WriteFile(dir.file("file"), content);
    return dir.file("file");
  }
};

// Every line ReadBatchLine gives for the file's bytes, with the cap the batch uses.
Lines BatchLines(const std::string& content) {
  test::TempDir dir;
  test::WriteFile(dir.file("batch"), content);
  const FileHandle file(std::fopen(dir.file("batch").c_str(), "rb"));
  Lines lines;
  for (std::string line; ReadBatchLine(file.get(), line);) lines.push_back(line);
  return lines;
}

TEST(BatchLine, EndsAtLfDropsEveryByteBelowBlankAndKeepsAtMost1500Bytes) {
  const std::string longest(1500, 'x');
  const struct {
    std::string content;
    Lines lines;
  } cases[] = {
      {"?\r\nbogus\r\n", {"?", "bogus"}},
      {"a\tb\x01\x1F\x7F c\r\n", {"ab\x7F c"}},
      {"\n\r\n", {"", ""}},
      {"last", {"last"}},  // no LF at the end
      {"", {}},
      {"\xE9\x80\xFF\n", {"\xE9\x80\xFF"}},
      {longest + "\n" + "next", {longest, "next"}},
      {longest + "yz\nnext", {longest, "next"}},  // the rest of a longer line is dropped, the next line kept
      {longest.substr(1) + "\r\ny", {longest.substr(1), "y"}},
      {longest + "\r\r\t\n", {longest}},  // dropped bytes do not count
      {std::string(65536 + 1500, 'b') + "\r\nv", {std::string(1500, 'b'), "v"}},  // past the reader's buffer
      {"?" + std::string(100'000, '\x01') + std::string(3'000'000, 'c') + "\nv\n\n", {"?" + std::string(1499, 'c'), "v", ""}},
      {std::string(1600, 'd'), {std::string(1500, 'd')}},
  };
  for (const auto& c : cases) EXPECT_EQ(BatchLines(c.content), c.lines) << c.content.substr(0, 20);
}

// An empty line ends the batch; the first refusal, missing reply or line the link would not send stops it and says
// what the device carried out. A line over 1500 bytes (control bytes do not count) goes as its first 1500, and the
// batch says so and does not pass for answered.
TEST_F(ActionTest, BatchSendsEachLineAndStopsAtTheFirstFailureSayingWhatWasCarriedOut) {
  const std::string refusal = kOpenBlockRefusal;
  const std::string longest(1500, 'v'), bogus = "bogus" + longest.substr(5);
  const struct {
    std::string batch;
    ActionOutcome outcome;
    Lines sent, log;
  } cases[] = {
      {"?\r\nbogus\r\nv\r\n", ActionOutcome::kDeviceError, {"?", "bogus"},
       {"L00001> ?", "L00002> bogus", kBadRequest, "Failed in line 2", "Batch aborted in line 2",
        "Line 1 was carried out; line 2 was refused"}},
      {"?\n\nv\n", ActionOutcome::kAnswered, {"?"}, {"L00001> ?"}},
      {"v\r\n" + longest + "\r\n?\r\n", ActionOutcome::kAnswered, {"v", longest, "?"},
       {"L00001> v", "L00002> " + longest, "L00003> ?"}},
      {"v\n" + longest + "w\n?\n", ActionOutcome::kAnsweredCut, {"v", longest, "?"},
       {"L00001> v", "L00002> " + longest, "Line 2: 1501 bytes, sent as its first 1500", "L00003> ?",
        "Batch cut: 1 of 3 lines sent as their first 1500 bytes"}},
      {"v\n" + bogus + "w\n?\n", ActionOutcome::kDeviceError, {"v", bogus},
       {"L00001> v", "L00002> " + bogus, "Line 2: 1501 bytes, sent as its first 1500", kBadRequest, "Failed in line 2",
        "Batch aborted in line 2", "Line 1 was carried out; line 2 was refused"}},
      {"?\ntoolong\n?\n", ActionOutcome::kLinkFailure, {"?", "toolong"},
       {"L00001> ?", "L00002> toolong", "Failed in line 2", "Batch aborted in line 2",
        "Line 1 was carried out; line 2 was not sent"}},
      {"bogus\nv\n", ActionOutcome::kDeviceError, {"bogus"},
       {"L00001> bogus", kBadRequest, "Failed in line 1", "Batch aborted in line 1",
        "Line 1 was refused; nothing else was sent"}},
      {"{/0\n@/abc\nbogus\n", ActionOutcome::kDeviceError, {"{/0", "@/abc", "bogus"},
       {"L00001> {/0", "L00002> @/abc", "L00003> bogus", kBadRequest, "Failed in line 3", "Batch aborted in line 3",
        "Lines 1 to 2 were carried out; line 3 was refused",
        "The signature block opened in line 1 is still open: " + refusal}},
      {"{/0\n}\nsilent\n", ActionOutcome::kLinkFailure, {"{/0", "}", "silent"},
       {"L00001> {/0", "L00002> }", "L00003> silent", "Failed in line 3", "Batch aborted in line 3",
        "Lines 1 to 2 were carried out; line 3 got no reply; the device may or may not have carried it out"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.batch.substr(0, 20));
    device.requests.clear();
    sink.entries.clear();
    EXPECT_EQ(RunBatchFile(host, executor, File(c.batch), false), c.outcome);
    EXPECT_EQ(device.requests, c.sent);
    EXPECT_EQ(sink.entries, c.log);
  }
}

// A BMP file with an 8-byte colour table, `cut` bytes short; stored row r (bottom first), byte j is 0xA5 + 7r + j.
std::string Bmp(uint32_t width, uint32_t height, uint16_t bits = 1, size_t cut = 0) {
  std::string file(62, '\0');
  for (const auto& [offset, value] : {std::pair{10u, 62u}, {18u, width}, {22u, height}, {28u, uint32_t{bits}}})
    for (unsigned i = 0; i < 4; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
  for (size_t r = 0; r < std::min(height, 257u); ++r)
    for (size_t j = 0; j < (width + 31) / 32 * 4; ++j) file += static_cast<char>(0xA5 + r * 7 + j);
  return file.substr(0, file.size() - cut);
}

// Rows go bottom first in the file and top first to the device, which numbers them from the top; each stored row
// is padded to a whole 32-bit word and only (width + 7) / 8 of its bytes are sent.
TEST_F(ActionTest, BitmapRowsGoTopFirstWithoutTheirPadding) {
  const struct {
    unsigned slot;
    std::string file;
    Lines sent;
  } cases[] = {
      {1, Bmp(100, 3),
       {"$/1/100/3/1/B3B4B5B6B7B8B9BABBBCBDBEBF/", "$/1/100/3/2/ACADAEAFB0B1B2B3B4B5B6B7B8/",
        "$/1/100/3/3/A5A6A7A8A9AAABACADAEAFB0B1/"}},
      {1, Bmp(32, 2), {"$/1/32/2/1/ACADAEAF/", "$/1/32/2/2/A5A6A7A8/"}},
      {1, Bmp(33, 2), {"$/1/33/2/1/ACADAEAFB0/", "$/1/33/2/2/A5A6A7A8A9/"}},
      {1, Bmp(7, 2), {"$/1/7/2/1/AC/", "$/1/7/2/2/A5/"}},
      {1, Bmp(9, 2), {"$/1/9/2/1/ACAD/", "$/1/9/2/2/A5A6/"}},
      {0, Bmp(1, 1), {"$/0/1/1/1/A5/"}},
      {7, Bmp(8, 1), {"$/7/8/1/1/A5/"}},
      {1, Bmp(8, 1, 1) + "trailing bytes", {"$/1/8/1/1/A5/"}},
  };
  for (const auto& c : cases) {
    device.requests.clear();
    EXPECT_EQ(LoadMonochromeBitmap(host, executor, c.slot, File(c.file), false), ActionOutcome::kAnswered);
    EXPECT_EQ(device.requests, c.sent);
  }
  EXPECT_TRUE(prompts.boxes.empty());

  // The largest bitmap: 256 rows of 32 bytes; the last request is the file's first stored row.
  device.requests.clear();
  EXPECT_EQ(LoadMonochromeBitmap(host, executor, 1, File(Bmp(256, 256)), false), ActionOutcome::kAnswered);
  ASSERT_EQ(device.requests.size(), 256u);
  EXPECT_EQ(device.requests.back(), "$/1/256/256/256/A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBFC0C1C2C3C4/");
  EXPECT_EQ(device.requests.front().substr(0, 20), "$/1/256/256/1/9E9FA0");  // 0xA5 + 7 * 255, modulo 256
}

// A bitmap is checked whole before a row goes out; refusals are boxes and nothing is sent.
TEST_F(ActionTest, BitmapsTheDeviceCannotTakeAreRefusedBeforeARowGoesOut) {
  std::string far_pixels = Bmp(8, 1);
  far_pixels[13] = '\xFF';  // pixel data past 4 GiB
  const char* const kWidth = "Format error: BMP file width must be in range 1-256";
  const char* const kHeight = "Format error: BMP file height must be in range 1-256";
  const char* const kData = "File error: Could not load image data";
  const struct {
    unsigned slot;
    std::string file, caption;
  } cases[] = {
      {1, Bmp(257, 1), kWidth},
      {1, Bmp(0, 1), kWidth},
      {1, Bmp(0xFFFFFFFF, 1), kWidth},
      {1, Bmp(8, 257), kHeight},
      {1, Bmp(8, 0), kHeight},
      {1, Bmp(8, 0xFFFFFFFF), kHeight},  // a top-down file
      {1, Bmp(300, 1, 24), "Format error: BMP file must be back & white format"},
      {1, Bmp(8, 1, 2), "Format error: BMP file must be back & white format"},
      {1, Bmp(8, 1, 0), "Format error: BMP file must be back & white format"},
      {1, Bmp(100, 3, 1, 1), kData},
      {1, Bmp(33, 2, 1, 1), kData},  // the padding of the last row is missing
      {1, far_pixels, kData},
      {1, Bmp(8, 1).substr(0, 53), "File error: Could not read bitmap header"},
      {1, "missing", "File error: Could not open image file"},
      {8, Bmp(8, 1), "<bitmapno> must be an integer number ranged 0 - 7\n"},
  };
  for (const auto& c : cases) {
    prompts.boxes.clear();
    const std::string path = c.file == "missing" ? dir.file("missing") : File(c.file);
    EXPECT_EQ(LoadMonochromeBitmap(host, executor, c.slot, path, false), ActionOutcome::kRefused);
    ASSERT_EQ(prompts.boxes.size(), 1u) << c.caption;
    EXPECT_EQ(prompts.boxes[0].caption, c.caption);
    EXPECT_EQ(prompts.boxes[0].text, c.slot > 7 ? "Parameter error:" : "\xCE\x95rror");
  }
  EXPECT_TRUE(device.requests.empty());
}

// An upload goes on past a refused row and stops at a row without a reply, saying what the slot holds.
TEST_F(ActionTest, BrokenOffUploadsSayWhatTheSlotHolds) {
  const struct {
    size_t silent_after;
    std::set<size_t> refuse;
    ActionOutcome outcome;
    size_t sent;
    std::string log;
  } cases[] = {
      {1, {}, ActionOutcome::kLinkFailure, 2,
       "Upload broken off in row 2 of 3, which got no reply: slot 1 holds the first 1 row(s) of this bitmap, the rest "
       "is what it held before"},
      {2, {1}, ActionOutcome::kLinkFailure, 3,
       "Upload broken off in row 3 of 3, which got no reply: slot 1 holds the first 2 row(s) of this bitmap (less the "
       "rows refused), the rest is what it held before"},
      {0, {2}, ActionOutcome::kDeviceError, 3,
       "1 of 3 row(s) were refused by the device: slot 1 does not hold the whole bitmap"},
  };
  for (const auto& c : cases) {
    device.requests.clear();
    device.silent_after = c.silent_after;
    device.refuse = c.refuse;
    sink.entries.clear();
    EXPECT_EQ(LoadMonochromeBitmap(host, executor, 1, File(Bmp(8, 3)), false), c.outcome);
    EXPECT_EQ(device.requests.size(), c.sent);
    ASSERT_FALSE(sink.entries.empty());
    EXPECT_EQ(sink.entries.back(), c.log);
  }
}

// An empty name is refused with a box; during another exchange nothing is done.
TEST_F(ActionTest, BatchAndUploadRefuseAnEmptyNameAndWaitForNoExchange) {
  using Action = ActionOutcome (*)(Host&, CommandExecutor&, const std::string&, bool);
  for (const Action action : {Action{RunBatchFile}, Action{UploadBitmapFile}}) {
    EXPECT_EQ(action(host, executor, "", false), ActionOutcome::kRefused);
    EXPECT_EQ(prompts.boxes.back().text, "No filename specified");
    TransactionGuard busy(state);
    EXPECT_EQ(action(host, executor, File("?\n"), false), ActionOutcome::kIgnored);
  }
  EXPECT_TRUE(device.requests.empty());
}

}  // namespace
}  // namespace veritor
