#include "core/command.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/batch.h"
#include "core/code_page.h"
#include "core/control_ids.h"
#include "core/file_signing.h"
#include "core/log_entries.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using Lines = std::vector<std::string>;
const char kBadRequest[] = "Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code";

// A link that answers from a script: each step is a result and, for result 0, the reply frame text; the last
// step repeats for ever. Each exchange takes `ms_per_exchange` of virtual time.
struct ScriptedLink final : LinkTransaction {
  struct Step {
    int result;
    std::string reply;
  };
  explicit ScriptedLink(VirtualTickClock& clock) : clock(clock) {}
  int Transact(const std::string& request, std::string& reply, bool) override {
    requests.push_back(request);
    clock.Advance(ms_per_exchange);
    const Step step = steps.front();
    if (steps.size() > 1) steps.pop_front();
    if (step.result == kResultOk) reply = step.reply;
    return step.result;
  }
  VirtualTickClock& clock;
  std::deque<Step> steps = {{kResultEnquireFailed, ""}};
  Lines requests;
  uint32_t ms_per_exchange = 20;
};

class CommandTest : public ::testing::Test, protected test::VirtualHost {
 protected:
  ScriptedLink serial{clock};
  CommandExecutor executor{host, serial};
  std::string data = "untouched";

  int Execute(const std::string& request) {
    sink.entries.clear();
    return executor.ExecuteCommand(request, data, false);
  }
};

// Device bytes to characters and back; what a page cannot carry is refused,
// never sent as something else.
TEST(CodePageTest, GreekBytesBothWaysAndRefusals) {
  const CodePage greek = *CodePage::Find(kDefaultCodePage);
  EXPECT_EQ(greek.ToUtf8("\xCA\xC1\xCB\xC7\xCC\xC5\xD1\xC1"), "ΚΑΛΗΜΕΡΑ");
  EXPECT_EQ(greek.ToUtf8("\x80 \xA2\xDC\xFE\xAA"), "€ Άάώ\uFFFD") << "0xAA has no character in 1253";
  EXPECT_EQ(CodePage::Find(737)->ToUtf8("\x80"), "Α");
  EXPECT_FALSE(CodePage::Find(65001));

  const struct {
    std::string text;
    std::string refused;  // empty: encoded
  } cases[] = {
      {"ΚΑΛΗ v/1", ""},
      {"€ Ά ώ ΐ", ""},
      {"☺", "U+263A"},
      {"Ё", "U+0401"},
      {"\uFFFD", "U+FFFD"},
      {"\xCA\xC1", "a byte 0xCA that is not UTF-8"},  // already the page's bytes
      {"\xC0\xAF", "a byte 0xC0 that is not UTF-8"},  // an overlong "/"
      {"\xED\xA0\x80", "a byte 0xED that is not UTF-8"},
      {"\xE2\x82", "a byte 0xE2 that is not UTF-8"},
  };
  for (const auto& c : cases) {
    std::string refused;
    const auto bytes = greek.FromUtf8(c.text, refused);
    EXPECT_EQ(bytes.has_value(), c.refused.empty()) << c.text;
    if (bytes) {
      EXPECT_EQ(greek.ToUtf8(*bytes), c.text);
    }
    EXPECT_EQ(refused, c.refused) << c.text;
  }
  std::string refused;
  EXPECT_EQ(greek.FromUtf8("ΚΑΛΗ", refused), "\xCA\xC1\xCB\xC7");
}

TEST(CodePageTest, EveryDefinedByteOfEveryPageComesBackAsItself) {
  for (unsigned number : {437u, 737u, 850u, 869u, 1250u, 1251u, 1252u, 1253u, 1254u, 1257u, 28597u}) {
    const CodePage page = *CodePage::Find(number);
    for (int byte = 0; byte < 256; ++byte) {
      const std::string one(1, static_cast<char>(byte));
      const std::string shown = page.ToUtf8(one);
      std::string refused;
      const auto back = page.FromUtf8(shown, refused);
      if (shown != "\uFFFD") {
        EXPECT_EQ(back, one) << number << " byte " << byte;
      }
    }
  }
}

// The log holds device bytes beside the console's UTF-8 paths and texts.
TEST(CodePageTest, LogLinesAndTheSetting) {
  const CodePage greek = *CodePage::Find(1253);
  EXPECT_EQ(greek.LogLineToUtf8("Device info: [\xCA\xC1\xCB\xC7]"), "Device info: [ΚΑΛΗ]");
  EXPECT_EQ(greek.LogLineToUtf8("Signing '/home/u/Έγγραφα/a.txt', 3 byte(s)"),
            "Signing '/home/u/Έγγραφα/a.txt', 3 byte(s)");
  EXPECT_EQ(greek.LogLineToUtf8("L00001> @/\xC1"), "L00001> @/Α");

  const struct {
    unsigned option;
    const char* environment;
    unsigned chosen;  // 0: refused
  } settings[] = {{0, nullptr, 1253}, {0, "", 1253}, {0, "1252", 1252}, {737, "1252", 737},
                  {0, "greek", 0},    {0, "1253x", 0}, {0, "9999", 0},   {65001, nullptr, 0}};
  for (const auto& s : settings) {
    std::string error;
    const auto page = ChooseCodePage(s.option, s.environment, error);
    EXPECT_EQ(page ? page->number() : 0u, s.chosen) << s.option << " " << (s.environment ? s.environment : "-");
    EXPECT_EQ(error.empty(), s.chosen != 0) << error;
  }
}

TEST(LogEntries, SplitLinesAndShowOnlyTheFirstColumn) {
  const std::string longest(kMaxLogColumnText, 'x');
  const struct {
    std::string text;
    Lines shown;
  } cases[] = {
      {"one\n\ntwo", {"one", "", "two"}},
      {"one\n", {"one"}},
      {"word\tother", {"word"}},
      {longest, {longest}},
      // A line that shows nothing must not swallow the lines after it.
      {"\thidden\nnext", {"", "next"}},
      {longest + "x\tmore\nnext", {"", "next"}},
  };
  for (const auto& c : cases) EXPECT_EQ(VisibleLogEntries(c.text), c.shown) << c.text.substr(0, 20);
}

// A status pair that is not two hexadecimal digits reads as 0xFF.
TEST_F(CommandTest, DecodesTheStatusBytesAndLogsDeviceErrorsInTheCataloguesWords) {
  const struct {
    std::string reply;
    int code, device, function;
    std::string data;
    Lines log;
  } cases[] = {
      {"00/00/00", 0, 0, 0, "", {}},   // eight characters: no data
      {"00/00/00/", 0, 0, 0, "", {}},  // nine characters: no data
      {"00/0G/g0/d", 0, 0xFF, 0xFF, "d", {}},
      {"aF/:0/@/", 0xAF, 0xFF, 0xFF, "", {"Unknown error 0xAF"}},  // ':', '@' and '/' lie next to the digits
      {"0", 0xFF, 0xFF, 0xFF, "", {"Unknown error 0xFF"}},
      {"", 0xFF, 0xFF, 0xFF, "", {"Unknown error 0xFF"}},
      {"06/00/00", 0x06, 0, 0, "", {kBadRequest}},
      {"25/00/00", 0x25, 0, 0, "", {"Error 0x25: BADCHARINSTREAM (Invalid character in stream) -- "
                                    "The application must not send invalid characters for signing"}},
      {"80/00/00", 0x80, 0, 0, "",
       {"Error 0x80: ZERO_Z_ALERT (Zero 'z' Detected) -- The application is going to take zero 'Z'."}},
      {"26/00/00", 0x26, 0, 0, "", {"Unknown error 0x26"}},
      {"7f/00/00", 0x7F, 0, 0, "", {"Unknown error 0x7F"}},
      {"00/bc/de/VERITOR/1", 0, 0xBC, 0xDE, "VERITOR/1", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    serial.steps = {{kResultOk, c.reply}};
    ASSERT_EQ(Execute("?"), kResultOk);
    EXPECT_EQ(executor.ReplyErrorCode(), c.code);
    EXPECT_EQ(executor.DeviceStatusBits(), c.device);
    EXPECT_EQ(executor.FunctionStatusBits(), c.function);
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(display.fields[kIdReplyField], c.reply);
    EXPECT_EQ(sink.entries, c.log);
  }
  // Most significant bit first; two bits of the function status are not shown.
  std::string shown;
  for (int id = kIdFirstStatusBit; id <= kIdLastStatusBit; ++id) shown += display.fields[id] + " ";
  EXPECT_EQ(shown, "1 0 1 1 1 1 0 0 1 1 0 -- 1 1 1 -- ");
}

TEST_F(CommandTest, RepeatsWhileBusyForAtMostSixtySecondsAndShowsOnlyTheLastReply) {
  serial.steps = {{kResultOk, "0E/01/00"}, {kResultOk, "1a/00/00"}, {kResultOk, "0E/01/00"}, {kResultOk, "00/00/02/ok"}};
  EXPECT_EQ(Execute("{/0"), kResultOk);
  EXPECT_EQ(serial.requests, Lines(4, "{/0"));
  EXPECT_EQ(display.fields[kIdReplyField], "00/00/02/ok");
  EXPECT_TRUE(sink.entries.empty());

  serial.requests.clear();
  serial.steps = {{kResultOk, "0E/00/00"}};
  EXPECT_EQ(Execute("Q"), kResultStillBusy);
  EXPECT_EQ(sink.entries, Lines{"Device still busy (0x0E) after 60 s; request given up"});
  EXPECT_GE(serial.requests.size(), 60000u / 20u);
  EXPECT_LE(serial.requests.size(), 60000u / 20u + 2u);
}

// A line over the longest is sent as its first 1500 bytes, and the batch says so and does not pass for
// answered; control bytes (a CR LF file) do not count towards the length.
TEST_F(CommandTest, BatchLinesOverTheLongestAreSentCutAndSaySo) {
  const std::string longest(kMaxBatchLine, 'a');
  const std::string cut_line = "Line 3: 1501 bytes, sent as its first 1500";
  const struct {
    std::string third_line;
    std::deque<ScriptedLink::Step> replies;
    ActionOutcome outcome;
    Lines after_third;  // the log after "L00003> ..."
  } cases[] = {
      {longest, {{kResultOk, "00/00/00"}}, ActionOutcome::kAnswered, {}},
      {longest + "\r", {{kResultOk, "00/00/00"}}, ActionOutcome::kAnswered, {}},
      {longest + "b", {{kResultOk, "00/00/00"}}, ActionOutcome::kAnsweredCut,
       {cut_line, "Batch cut: 1 of 4 lines sent as their first 1500 bytes"}},
      {longest + "b",
       {{kResultOk, "00/00/00"}, {kResultOk, "00/00/00"}, {kResultOk, "06/00/00"}},
       ActionOutcome::kDeviceError,
       {cut_line, kBadRequest, "Failed in line 3", "Batch aborted in line 3",
        "Lines 1 to 2 were carried out; line 3 was refused"}},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.third_line.size());
    test::WriteFile(dir.file("batch"), "?\r\nv\r\n" + c.third_line + "\n?\n");
    serial.steps = c.replies;
    serial.requests.clear();
    sink.entries.clear();
    EXPECT_EQ(RunBatchFile(host, executor, dir.file("batch"), false), c.outcome);
    const bool answered = c.outcome != ActionOutcome::kDeviceError;
    EXPECT_EQ(serial.requests, answered ? Lines({"?", "v", longest, "?"}) : Lines({"?", "v", longest}));
    Lines log = {"L00001> ?", "L00002> v", "L00003> " + longest};
    log.insert(log.end(), c.after_third.begin(), c.after_third.end());
    if (answered) log.insert(log.end() - (c.after_third.empty() ? 0 : 1), "L00004> ?");
    EXPECT_EQ(sink.entries, log);
  }
}

// The rates are worked out in single precision, as the console has always shown them.
TEST_F(CommandTest, SigningEndsWithDoneAndTheTransferRates) {
  serial.ms_per_exchange = 1;
  serial.steps = {{kResultOk, "00/00/00"}};
  test::TempDir dir;
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
    const std::string path = dir.file(std::to_string(c.size));
    test::WriteFile(path, std::string(c.size, 'p'));
    sink.entries.clear();
    ASSERT_EQ(SignFile(host, executor, path, true), ActionOutcome::kAnswered);
    Lines expected = {"Signing '" + path + "', " + std::to_string(c.size) + " byte(s)"};
    expected.insert(expected.end(), c.log.begin(), c.log.end());
    std::erase_if(sink.entries, [](const std::string& e) { return e.starts_with("Status info"); });
    EXPECT_EQ(sink.entries, expected);
  }
}

}  // namespace
}  // namespace veritor
