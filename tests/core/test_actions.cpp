#include <gtest/gtest.h>

#include "core/batch.h"
#include "core/bitmap.h"
#include "core/file_signing.h"
#include "crypto/base64.h"
#include "net/console_links.h"
#include "sim/in_process.h"
#include "tests/support/fake_network.h"
#include "tests/support/bmp_file.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using test::Bmp;

using Lines = std::vector<std::string>;
using Outcome = ActionOutcome;
using Action = Outcome (*)(Host&, CommandExecutor&, const std::string&, bool);

std::string Base64(const std::string& bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  text.resize(static_cast<size_t>(
      Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), text.data(), static_cast<int32_t>(bytes.size()))));
  return text;
}

// A network link to a device model, taking a fixed time per exchange.
struct ModelLink final : LinkTransaction {
  explicit ModelLink(VirtualTickClock& clock) : clock(clock) {}
  int Transact(const std::string& request, std::string& reply, bool) override {
    clock.Advance(ms_per_exchange);
    reply = model.Handle(request);
    return kResultOk;
  }
  VirtualTickClock& clock;
  sim::DeviceModel model;
  uint32_t ms_per_exchange = 1;
};

// The console connected to the simulated device over the in-memory serial
// line, or over a network link that answers from a second device model.
class ActionsTest : public ::testing::Test {
 protected:
  VirtualTickClock clock;
  sim::InProcessSerial serial{clock};
  test::RecordingLog sink;
  MessageLog log{sink};
  test::RecordingDisplay display;
  test::ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, serial.pump(), log, display, prompts, state};
  test::FakeWire wire;
  test::FakeNetwork network{wire};
  test::TempDir dir;
  ConsoleLinks links{host, serial.opener(), network, dir.slash()};
  CommandExecutor& executor = links.executor();
  ModelLink net_link{clock};
  size_t requests_before = 0;

  void SetUp() override { ASSERT_TRUE(links.Connect(1, 115200, "", false).connected); }
  void UseLink(int link) {
    executor.SetNetworkLink(link, &net_link);
    state.ActiveLink = link;
  }
  sim::DeviceModel& Model() { return IsNetworkLink(state.ActiveLink) ? net_link.model : serial.model(); }
  void MarkStart() {
    requests_before = Model().RequestLog().size();
    sink.entries.clear();
  }
  Lines Sent() {
    const Lines& all = Model().RequestLog();
    return Lines(all.begin() + static_cast<long>(requests_before), all.end());
  }
  std::string File(const std::string& content) {
    test::WriteFile(dir.file("file"), content);
    return dir.file("file");
  }
};

TEST_F(ActionsTest, BatchSendsLineByLineUntilAnEmptyLineOrTheFirstDeviceError) {
  const std::string cut = "@/" + std::string(1498, 'x');
  const struct {
    std::string content;
    Lines sent;
    Lines failure_log;
  } cases[] = {
      {"?\r\nv\r\n?\r\n", {"?", "v", "?"}, {}},
      {"?\r\nv\r\n?", {"?", "v", "?"}, {}},
      {"?\n\nv\n", {"?"}, {}},
      {"{/0\n@/two\twords\n" + cut + "yy\n}\n", {"{/0", "@/twowords", cut, "}"}, {}},
      {"?\nbogus\n?\n", {"?", "bogus"},
       {"Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code", "Failed in line 2",
        "Batch aborted in line 2"}},
      {"", {}, {}},
      {"\r\n?\n", {}, {}},
  };
  for (const auto& c : cases) {
    MarkStart();
    EXPECT_EQ(RunBatchFile(host, executor, File(c.content), false),
              c.failure_log.empty() ? Outcome::kAnswered : Outcome::kDeviceError);
    EXPECT_EQ(Sent(), c.sent) << c.content;
    Lines expected;
    for (size_t i = 0; i < c.sent.size(); ++i) expected.push_back("L0000" + std::to_string(i + 1) + "> " + c.sent[i]);
    expected.insert(expected.end(), c.failure_log.begin(), c.failure_log.end());
    EXPECT_EQ(sink.entries, expected) << c.content;
  }
}

TEST_F(ActionsTest, SigningAndBitmapUploadSendTheseRequests) {
  const std::string text(1000, 't');
  std::string mixed = std::string(750, 'a') + std::string(749, 'b') + "\n\x7F\x80";
  mixed[5] = '\x7F';
  std::string nul(450, 'n');
  nul[10] = '\0';
  const std::string net_text = "line\r\nnext\xE9";
  const struct {
    Action action;
    int link;
    std::string content;
    Lines sent;
  } cases[] = {
      {SignFile, 1, text, {"{/0", "@/" + text.substr(0, 750), "@/" + text.substr(750), "}"}},
      {SignFile, 1, text + text.substr(500), {"{/0", "@/" + text.substr(0, 750), "@/" + text.substr(0, 750), "}"}},
      {SignFile, 1, mixed,
       {"{/0", "@/" + mixed.substr(0, 750), "&/" + Base64(mixed.substr(750, 750)), "&/" + Base64(mixed.substr(1500)),
        "}"}},
      {SignFile, kLinkSdnp, text,
       {"{/0", "@/" + text.substr(0, 450), "@/" + text.substr(450, 450), "@/" + text.substr(900), "}"}},
      // 450 bytes in Base64 would not fit an SDNP frame's 500 bytes.
      {SignFile, kLinkSdnp, nul, {"{/0", "&/" + Base64(nul.substr(0, 372)), "@/" + nul.substr(372), "}"}},
      {SignFile, kLinkTcp, net_text, {"{/0", "@/" + net_text, "}"}},
      {SignFile, kLinkUdp, nul, {"{/0", "&/" + Base64(nul), "}"}},
      {UploadBitmapFile, 1, Bmp(8, 1), {"$/1/8/1/1/A5/"}},
      {UploadBitmapFile, 1, Bmp(100, 3),
       {"$/1/100/3/1/B3B4B5B6B7B8B9BABBBCBDBEBF/", "$/1/100/3/2/ACADAEAFB0B1B2B3B4B5B6B7B8/",
        "$/1/100/3/3/A5A6A7A8A9AAABACADAEAFB0B1/"}},
  };
  for (const auto& c : cases) {
    if (c.link != 1) UseLink(c.link);
    MarkStart();
    EXPECT_EQ(c.action(host, executor, File(c.content), false), Outcome::kAnswered);
    EXPECT_EQ(Sent(), c.sent) << c.link << " " << c.content.size();
  }
}

TEST_F(ActionsTest, SigningLogsBlocksAndSinglePrecisionStatistics) {
  UseLink(kLinkTcp);
  const struct {
    size_t size;
    Lines log;
  } cases[] = {
      {1000, {"TEXT block #1 (750 of 1000 bytes)", "TEXT block #2 (250 of 1000 bytes)",
              "Done. (2 blocks, 1000 bytes, 3 milliseconds)", "Transfer rate: 333333.34 bytes/sec",
              "1K transfer requires 3.07 milliseconds"}},
      {0, {"Done. (0 blocks, 0 bytes, 1 milliseconds)", "Transfer rate: 0.00 bytes/sec"}},
  };
  for (const auto& c : cases) {
    if (c.size == 0) net_link.model.ForceReply("00/00/00", 2);  // the device would refuse an empty block
    MarkStart();
    const std::string path = File(std::string(c.size, 'p'));
    ASSERT_EQ(SignFile(host, executor, path, true), Outcome::kAnswered);
    Lines expected = {"Signing '" + path + "', " + std::to_string(c.size) + " byte(s)"};
    expected.insert(expected.end(), c.log.begin(), c.log.end());
    std::erase_if(sink.entries, [](const std::string& e) { return e.starts_with("Status") || e.starts_with("Repl"); });
    EXPECT_EQ(sink.entries, expected);
  }
}

TEST_F(ActionsTest, FailuresEndTheRunWithoutFinishingTheBlock) {
  serial.model().ForceReply("00/00/04", 2);
  serial.model().ForceError(sim::kErrSignData);
  MarkStart();
  EXPECT_EQ(SignFile(host, executor, File(std::string(1500, 's')), false), Outcome::kDeviceError);
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_EQ(sink.entries.back(), "Failed signing data block");

  MarkStart();  // the device answers NODATA when an empty block is finished
  EXPECT_EQ(SignFile(host, executor, File(""), false), Outcome::kDeviceError);
  EXPECT_EQ(Sent(), (Lines{"{/0", "}"}));
  EXPECT_EQ(sink.entries.back(), "Failed finishing block");

  MarkStart();  // a folder opens but cannot be read
  EXPECT_EQ(SignFile(host, executor, dir.path(), false), Outcome::kRefused);
  EXPECT_EQ(sink.entries.back(), "Failed reading '" + dir.path() + "'");
  EXPECT_EQ(RunBatchFile(host, executor, dir.path(), false), Outcome::kRefused);
  EXPECT_EQ(sink.entries.back(), "Batch aborted in line 1");
  EXPECT_LE(Sent().size(), 1u) << "at most the opening command";

  const std::string missing = dir.file("missing");
  const struct {
    Action action;
    std::string path;
    std::string box;
  } refusals[] = {
      {RunBatchFile, "", "No filename specified"}, {RunBatchFile, missing, "Can't open file [" + missing + "]"},
      {SignFile, "", "Filename missing!"},         {SignFile, missing, "Cannot open file [" + missing + "]"},
      {UploadBitmapFile, "", "No filename specified"},
  };
  MarkStart();
  for (const auto& c : refusals) {
    EXPECT_EQ(c.action(host, executor, c.path, false), Outcome::kRefused);
    EXPECT_EQ(prompts.boxes.back().text, c.box);
    TransactionGuard busy(state);
    EXPECT_EQ(c.action(host, executor, File("?\n"), false), Outcome::kIgnored);
  }
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ActionsTest, BitmapRefusalsSendNothingAndTheDeviceStoresWhatIsSent) {
  std::string far_pixels = Bmp(8, 1);
  far_pixels[13] = '\xFF';  // pixel data past 4 GiB
  const struct {
    unsigned slot;
    std::string file;
    std::string caption;
  } cases[] = {
      {1, Bmp(257, 1), "Format error: BMP file width must be in range 1-256"},
      {1, Bmp(8, 0), "Format error: BMP file height must be in range 1-256"},
      {1, Bmp(8, 0xFFFFFFFF), "Format error: BMP file height must be in range 1-256"},
      {1, Bmp(300, 1, 24), "Format error: BMP file must be back & white format"},
      {1, Bmp(100, 3, 1, 1), "File error: Could not load image data"},
      {1, far_pixels, "File error: Could not load image data"},
      {1, Bmp(8, 1).substr(0, 53), "File error: Could not read bitmap header"},
      {1, "missing", "File error: Could not open image file"},
      {8, Bmp(8, 1), "<bitmapno> must be an integer number ranged 0 - 7\n"},
  };
  MarkStart();
  for (const auto& c : cases) {
    prompts.boxes.clear();
    const std::string path = c.file == "missing" ? dir.file("missing") : File(c.file);
    EXPECT_EQ(LoadMonochromeBitmap(host, executor, c.slot, path, false), Outcome::kRefused);
    ASSERT_EQ(prompts.boxes.size(), 1u) << c.caption;
    EXPECT_EQ(prompts.boxes[0].caption, c.caption);
    EXPECT_EQ(prompts.boxes[0].text, c.slot > 7 ? "Parameter error:" : "\xCE\x95rror");
  }
  EXPECT_TRUE(Sent().empty());

  serial.model().ForceError(sim::kErrFieldCheck);
  EXPECT_EQ(UploadBitmapFile(host, executor, File(Bmp(256, 256)), false), Outcome::kDeviceError);
  const auto& rows = serial.model().BitmapRows();
  ASSERT_EQ(rows.size(), 255u) << "a device error does not stop the upload";
  EXPECT_EQ(rows.back().row, 256u);
  EXPECT_EQ(rows.back().bytes, Bmp(256, 256).substr(62, 32));
  EXPECT_EQ(rows.front().bytes, Bmp(256, 256).substr(62 + 254 * 32, 32));
}

}  // namespace
}  // namespace veritor
