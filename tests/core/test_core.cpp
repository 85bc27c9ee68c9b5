#include "core/command.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

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
    if (on_request) on_request(requests.size());
    clock.Advance(ms_per_exchange);
    const Step step = steps.front();
    if (steps.size() > 1) steps.pop_front();
    if (step.result == kResultOk) reply = step.reply;
    return step.result;
  }
  void CommandEnded() override { ++commands_ended; }
  VirtualTickClock& clock;
  int commands_ended = 0;
  std::deque<Step> steps = {{kResultEnquireFailed, ""}};
  Lines requests;
  uint32_t ms_per_exchange = 20;
  std::function<void(size_t count)> on_request;  // after each request is taken, before its answer
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

// The log holds the device's bytes, shown through its page whatever they
// look like, beside the console's UTF-8 paths and texts; control characters
// of either reach no terminal or file raw.
TEST(CodePageTest, LogLinesAndTheSetting) {
  const struct {
    unsigned page;
    LogText origin;
    std::string logged, shown;
  } lines[] = {
      {1253, LogText::kDevice, "Device info: [\xCA\xC1\xCB\xC7]", "Device info: [ΚΑΛΗ]"},
      {1253, LogText::kHost, "Signing '/home/u/Έγγραφα/a.txt', 3 byte(s)", "Signing '/home/u/Έγγραφα/a.txt', 3 byte(s)"},
      // Device bytes that happen to be well-formed UTF-8.
      {1253, LogText::kDevice, "Request frame [E/\xCC\xB8]", "Request frame [E/ΜΈ]"},
      {1253, LogText::kDevice, "Replied frame [\xCD\xB0 5]", "Replied frame [Ν° 5]"},
      {1253, LogText::kDevice, "Replied frame [\xCF\x80]", "Replied frame [Ο€]"},
      {1253, LogText::kDevice, "L00001> E/\xCE\x91\xCE\xB2", "L00001> E/Ξ‘Ξ²"},
      // A terminal's title, a cleared screen, an overwritten line, DEL.
      {1253, LogText::kDevice, "[\x1B]0;pwned\x07\x1B[2J\rok\x7F\tend]", "[\\x1B]0;pwned\\x07\\x1B[2J\\x0Dok\\x7F\tend]"},
      {28597, LogText::kDevice, "[\x85\x9B\xC1]", "[\\x85\\x9BΑ]"},  // C1 in this page
      {1253, LogText::kHost, "'/tmp/a\x1B[2J\xC2\x9B\xFF.txt'", "'/tmp/a\\x1B[2J\\x9B\\xFF.txt'"},
  };
  for (const auto& line : lines)
    EXPECT_EQ(CodePage::Find(line.page)->LogLineToUtf8(line.logged, line.origin), line.shown) << line.logged;

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
  const std::string longest(4090, 'x');  // the most an entry shows
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
      {"00/00/0", 0, 0, 0xFF, "", {}},  // seven: the last pair is cut
      {"00/00/00xd", 0, 0, 0, "d", {}},  // the data begins at the tenth character, whatever the ninth
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

  for (const auto& [reply, line] : {std::pair<std::string, std::string>{"0E/00/00", "busy (0x0E)"},
                                    {"1A/00/00", "offline (0x1A)"}}) {
    serial.requests.clear();
    serial.steps = {{kResultOk, reply}};
    const int ended = serial.commands_ended;
    EXPECT_EQ(Execute("Q"), kResultStillBusy);
    // A Z request given up here must not go out later on the answer given now.
    EXPECT_EQ(serial.commands_ended, ended + 1) << "the link is told the request ended";
    EXPECT_EQ(sink.entries, Lines{"Device still " + line + " after 60 s; request given up"});
    EXPECT_GE(serial.requests.size(), 60000u / 20u);
    EXPECT_LE(serial.requests.size(), 60000u / 20u + 2u);
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

// On the serial link a block goes as TEXT only when every byte is printable
// ASCII, 0x7F included: each byte at and past the edges of that range.
TEST_F(CommandTest, SigningChoosesTextOrBase64AtTheEdgesOfPrintableAscii) {
  serial.steps = {{kResultOk, "00/00/00"}};
  test::TempDir dir;
  const struct {
    char byte;
    std::string request;
  } rows[] = {
      {'\x1F', "&/YWIfYw=="}, {'\x20', "@/ab c"}, {'\x7E', "@/ab~c"}, {'\x7F', "@/ab\x7F" "c"}, {'\x80', "&/YWKAYw=="},
  };
  for (const auto& row : rows) {
    test::WriteFile(dir.file("f"), std::string("ab") + row.byte + "c");
    serial.requests.clear();
    ASSERT_EQ(SignFile(host, executor, dir.file("f"), false), ActionOutcome::kAnswered);
    EXPECT_EQ(serial.requests, (Lines{"{/0", row.request, "}"})) << static_cast<int>(row.byte);
  }
}

// A run that breaks off says what went out and what the device holds: a
// refused block, a block without a reply, a block opened earlier; and a file
// that changes while it is signed (cut, grown, written to) or that announces
// 0 bytes and holds more is never finished with "}" as if whole.
TEST_F(CommandTest, SigningSendsWhatItAnnouncedOrSaysWhatTheDeviceHolds) {
  const std::string refusal = kOpenBlockRefusal;
  test::TempDir dir;
  const std::string path = dir.file("doc");
  const auto changed = [&](const std::string& how, uint64_t announced) {
    return "'" + path + "' changed while it was signed: " + how + " (" + std::to_string(announced) +
           " byte(s) announced); \"}\" not sent";
  };
  // The first line, then what went out and what the device holds.
  const auto broken_off = [&](const std::string& first, unsigned blocks, uint64_t held, uint64_t size,
                              const std::string& last = "", const std::string& if_reached = "") {
    return Lines{first, "Signing broken off: \"{/0\" and " + std::to_string(blocks) + " data block(s) sent" + last,
                 "The device's signature block is still open with " + std::to_string(held) + " of the file's " +
                     std::to_string(size) + " byte(s)" + if_reached + ": " + refusal};
  };
  struct Row {
    const char* what;
    size_t size;
    std::deque<ScriptedLink::Step> steps;
    std::function<void(size_t count)> during = {};  // on each request, by its number
    ActionOutcome outcome;
    size_t requests;
    Lines tail;
    const char* file = nullptr;  // in the place of the test's own
  };
  const ScriptedLink::Step ok{kResultOk, "00/00/00"};
  const Row rows[] = {
      {"a device error on the second block", 1500, {ok, ok, {kResultOk, "12/00/04"}}, {}, ActionOutcome::kDeviceError, 3,
       broken_off("Failed signing data block", 2, 750, 1500, ", the last refused")},
      {"no reply to the second block", 1500, {ok, ok, {kResultReceiveStxTimeout, ""}}, {}, ActionOutcome::kLinkFailure,
       3, broken_off("Failed communicating with device", 2, 750, 1500, ", the last without a reply",
                     " (1500 if the last block reached it)")},
      {"a block opened earlier", 1500, {{kResultOk, "10/00/04"}}, {}, ActionOutcome::kDeviceError, 1,
       {"Failed opening signature block", "The device holds a signature block opened earlier: " + refusal}},
      {"cut to 1000 bytes after the second block", 200000, {ok},
       [&](size_t count) {
         if (count == 3) std::filesystem::resize_file(path, 1000);
       },
       ActionOutcome::kRefused, 3,
       broken_off(changed("it was cut to 1000 byte(s)", 200000), 2, 1500, 200000)},
      {"grown after the first block", 1000, {ok},
       [&](size_t count) {
         if (count == 2) test::WriteFile(path, std::string(2000, 'g'));
       },
       ActionOutcome::kRefused, 2,
       broken_off(changed("it grew to 2000 byte(s)", 1000), 1, 750, 1000)},
      {"written to in place after the first block", 1500, {ok},
       [&](size_t count) {
         if (count != 2) return;
         const auto written = std::filesystem::last_write_time(path);
         test::WriteFile(path, std::string(1500, 'w'));
         std::filesystem::last_write_time(path, written - std::chrono::seconds(5));
       },
       ActionOutcome::kRefused, 2,
       broken_off(changed("it was written to", 1500), 1, 750, 1500)},
      {"a file of the system that says it holds 0 bytes: the device is not touched", 0, {ok}, {},
       ActionOutcome::kRefused, 0,
       {"Signing '/proc/self/status', 0 byte(s)",
        "'/proc/self/status' announces 0 bytes but holds more (a file of the system?); not signed, nothing sent"},
       "/proc/self/status"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (!row.file) test::WriteFile(path, std::string(row.size, 's'));
    serial.steps = row.steps;
    serial.requests.clear();
    serial.on_request = row.during;
    sink.entries.clear();
    EXPECT_EQ(SignFile(host, executor, row.file ? row.file : path, false), row.outcome);
    EXPECT_EQ(serial.requests.size(), row.requests);
    ASSERT_GE(sink.entries.size(), row.tail.size());
    EXPECT_EQ(Lines(sink.entries.end() - static_cast<std::ptrdiff_t>(row.tail.size()), sink.entries.end()), row.tail);
  }
}

}  // namespace
}  // namespace veritor
