#include "core/command.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/control_ids.h"
#include "core/device_errors.h"
#include "core/log_entries.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

using test::RecordingDisplay;
using test::RecordingLog;
using test::ScriptedPrompts;

// A link that answers from a script: each step is a result and, for result 0,
// the reply frame text. Each exchange takes 20 ms of virtual time.
class ScriptedLink final : public LinkTransaction {
 public:
  struct Step {
    int result;
    std::string reply;
  };
  explicit ScriptedLink(VirtualTickClock& clock) : clock_(clock) {}
  int Transact(const std::string& request, std::string& reply, bool) override {
    requests.push_back(request);
    clock_.Advance(20);
    Step step = steps.empty() ? repeat : steps.front();
    if (!steps.empty()) steps.pop_front();
    if (step.result == kResultOk) reply = step.reply;
    return step.result;
  }
  std::deque<Step> steps;
  Step repeat{kResultEnquireFailed, ""};
  std::vector<std::string> requests;

 private:
  VirtualTickClock& clock_;
};

class CommandTest : public ::testing::Test {
 protected:
  VirtualTickClock clock;
  test::ClockPump pump{clock};
  RecordingLog sink;
  MessageLog log{sink};
  RecordingDisplay display;
  ScriptedPrompts prompts;
  ConsoleState state;
  Host host{clock, pump, log, display, prompts, state};
  ScriptedLink serial{clock};
  CommandExecutor executor{host, serial};

  int Execute(const std::string& request, bool verbose = false) {
    return executor.ExecuteCommand(request, data, verbose);
  }
  std::string StatusFields() {
    std::string shown;
    for (int id = kIdFirstStatusBit; id <= kIdLastStatusBit; ++id) shown += display.fields[id] + " ";
    return shown;
  }
  std::string data = "untouched";
};

TEST(LogEntries, SplitLinesAndShowOnlyTheFirstColumn) {
  const std::string longest(kMaxLogColumnText, 'x');
  const struct {
    std::string text;
    std::vector<std::string> shown;
  } cases[] = {
      {"one\ntwo", {"one", "two"}},
      {"one\n", {"one"}},
      {"one\n\ntwo", {"one", "", "two"}},
      {"word\tother", {"word"}},
      {"", {""}},
      {"\tcolumn", {""}},
      {longest, {longest}},
      {longest + "x", {""}},
      // A line that shows nothing must not swallow the lines after it.
      {"\thidden\nnext", {"", "next"}},
      {longest + "x\tmore\nnext", {"", "next"}},
  };
  for (const auto& c : cases) EXPECT_EQ(VisibleLogEntries(c.text), c.shown) << c.text.substr(0, 20);
}

TEST(LogEntries, LogMessageFormatsAndCountsCharacters) {
  RecordingLog sink;
  MessageLog log(sink);
  EXPECT_EQ(log.LogMessage("Opened port COM%u, %lu", 1u, 9600ul), 22);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Opened port COM1, 9600"});
  const std::string big(5000, 'r');
  EXPECT_EQ(log.LogMessage("[%s]", big.c_str()), 5002);
}

TEST(ParseHexByte, ReadsEitherCaseAndRefusesOtherCharacters) {
  EXPECT_EQ(ParseHexByte('0', '0'), 0x00);
  EXPECT_EQ(ParseHexByte('a', 'F'), 0xAF);
  EXPECT_EQ(ParseHexByte('F', 'f'), 0xFF);
  EXPECT_EQ(ParseHexByte('G', '0'), -1);
  EXPECT_EQ(ParseHexByte('0', '/'), -1);
  EXPECT_EQ(ParseHexByte('\0', '1'), -1);
}

TEST(StatusBits, ShowEachBitAndDashesForTheUnshownOnes) {
  RecordingDisplay display;
  ShowStatusBits(display, 0xA5, 0x11);
  std::string shown;
  for (int id = kIdFirstStatusBit; id <= kIdLastStatusBit; ++id) shown += display.fields[id] + " ";
  EXPECT_EQ(shown, "1 0 1 0 0 1 0 1 0 0 0 -- 0 0 0 -- ");
}

TEST_F(CommandTest, HandsBackTheDataAndShowsTheWholeReply) {
  serial.steps = {{kResultOk, "00/A5/11/VERITOR/1"}};
  EXPECT_EQ(Execute("v", true), kResultOk);
  EXPECT_EQ(data, "VERITOR/1");
  EXPECT_EQ(display.fields[kIdReplyField], "00/A5/11/VERITOR/1");
  EXPECT_EQ(StatusFields(), "1 0 1 0 0 1 0 1 0 0 0 -- 0 0 0 -- ");
  EXPECT_EQ(sink.entries, (std::vector<std::string>{"Status info   [00-A5-11]", "Replied frame [VERITOR/1]"}));
}

TEST_F(CommandTest, DecodesTheStatusPartWhateverItsShape) {
  const struct {
    std::string reply;
    int code, device, function;
    std::string data;
  } cases[] = {
      {"0a/bc/de/x", 0x0A, 0xBC, 0xDE, "x"},
      {"00/00/00", 0, 0, 0, ""},   // eight characters: no data
      {"00/00/00/", 0, 0, 0, ""},  // nine characters: no data
      {"00/0G/00/d", 0, 0xFF, 0, "d"},
      {"0", 0xFF, 0xFF, 0xFF, ""},
      {"", 0xFF, 0xFF, 0xFF, ""},
  };
  for (const auto& c : cases) {
    serial.steps = {{kResultOk, c.reply}};
    sink.entries.clear();
    ASSERT_EQ(Execute("?", true), kResultOk);
    EXPECT_EQ(executor.ReplyErrorCode(), c.code) << c.reply;
    EXPECT_EQ(executor.DeviceStatusBits(), c.device) << c.reply;
    EXPECT_EQ(executor.FunctionStatusBits(), c.function) << c.reply;
    EXPECT_EQ(data, c.data) << c.reply;
    EXPECT_EQ(sink.Count("Replied frame [" + c.data + "]"), c.data.empty() ? 0u : 1u);
  }
  EXPECT_EQ(StatusFields(), "1 1 1 1 1 1 1 1 1 1 1 -- 1 1 1 -- ");
}

TEST_F(CommandTest, LogsDeviceErrorsInTheCataloguesWords) {
  const struct {
    const char* reply;
    const char* line;
  } cases[] = {
      {"06/00/00", "Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code"},
      {"25/00/00", "Error 0x25: BADCHARINSTREAM (Invalid character in stream) -- "
                   "The application must not send invalid characters for signing"},
      {"80/00/00", "Error 0x80: ZERO_Z_ALERT (Zero 'z' Detected) -- The application is going to take zero 'Z'."},
      {"26/00/00", "Unknown error 0x26"},
      {"7f/00/00", "Unknown error 0x7F"},
      {"zz/00/00", "Unknown error 0xFF"},
  };
  for (const auto& c : cases) {
    serial.steps = {{kResultOk, c.reply}};
    sink.entries.clear();
    EXPECT_EQ(Execute("x"), kResultOk);
    EXPECT_EQ(sink.entries, std::vector<std::string>{c.line});
  }
  serial.steps = {{kResultOk, "00/0Z/00"}};
  sink.entries.clear();
  Execute("x");
  EXPECT_TRUE(sink.entries.empty()) << "a bad status pair is no device error";
}

TEST_F(CommandTest, RepeatsWhileBusyAndShowsOnlyTheLastReply) {
  serial.steps = {{kResultOk, "0E/01/00"}, {kResultOk, "1a/00/00"}, {kResultOk, "0E/01/00"}, {kResultOk, "00/00/02/ok"}};
  EXPECT_EQ(Execute("{/0"), kResultOk);
  EXPECT_EQ(serial.requests, std::vector<std::string>(4, "{/0"));
  EXPECT_EQ(display.fields[kIdReplyField], "00/00/02/ok");
  EXPECT_TRUE(sink.entries.empty());
}

TEST_F(CommandTest, ALinkFailureAfterBusyLeavesTheShownStateAlone) {
  serial.steps = {{kResultOk, "00/00/00/first"}};
  Execute("v");
  serial.steps = {{kResultOk, "0E/00/00"}, {kResultReceiveStxTimeout, ""}};
  EXPECT_EQ(Execute("v"), kResultReceiveStxTimeout);
  EXPECT_EQ(executor.ReplyErrorCode(), 0x0E);
  EXPECT_EQ(data, "first");
  EXPECT_EQ(display.fields[kIdReplyField], "00/00/00/first");
}

TEST_F(CommandTest, GivesUpOnADeviceThatStaysBusy) {
  serial.repeat = {kResultOk, "0E/00/00"};
  EXPECT_EQ(Execute("Q"), kResultStillBusy);
  EXPECT_EQ(sink.entries, std::vector<std::string>{"Device still busy (0x0E) after 60 s; request given up"});
  EXPECT_GE(serial.requests.size(), 60000u / 20u);
  EXPECT_LE(serial.requests.size(), 60000u / 20u + 2u);
}

TEST_F(CommandTest, ARejectedSignatureSendsXFiveOnceMore) {
  serial.steps = {{kResultSignatureRejected, ""}, {kResultOk, "00/00/00"}};
  EXPECT_EQ(Execute("x/2"), kResultOk);
  EXPECT_EQ(serial.requests, (std::vector<std::string>{"x/2", "x/5"}));

  serial.requests.clear();
  serial.steps = {{kResultSignatureRejected, ""}, {kResultSignatureRejected, ""}};
  EXPECT_EQ(Execute("x/2"), kResultSignatureRejected);
  EXPECT_EQ(serial.requests, (std::vector<std::string>{"x/2", "x/5"}));
}

TEST_F(CommandTest, RoutesTheNetworkEntriesToTheirLinks) {
  ScriptedLink tcp{clock};
  tcp.steps = {{kResultOk, "00/00/00/tcp"}};
  executor.SetNetworkLink(kLinkTcp, &tcp);
  state.ActiveLink = kLinkTcp;
  EXPECT_EQ(Execute("v"), kResultOk);
  EXPECT_EQ(data, "tcp");
  EXPECT_TRUE(serial.requests.empty());
  state.ActiveLink = kLinkUdp;
  EXPECT_EQ(Execute("v"), kResultSocketFailed);
}

}  // namespace
}  // namespace veritor
