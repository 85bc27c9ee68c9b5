#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/host.h"
#include "core/log_entries.h"

namespace veritor::test {

// Keeps every log entry as the message log would show it, and whose text
// each one is.
struct RecordingLog final : LogSink {
  void AppendLogText(std::string_view text, LogText origin) override {
    for (std::string& entry : VisibleLogEntries(text)) {
      entries.push_back(std::move(entry));
      origins.push_back(origin);
    }
  }
  bool Contains(const std::string& entry) const { return Count(entry) > 0; }
  size_t Count(const std::string& entry) const { return std::ranges::count(entries, entry); }
  std::vector<std::string> entries;
  std::vector<LogText> origins;
};

struct RecordingDisplay final : DisplayFields {
  void SetFieldText(int control_id, std::string_view text) override { fields[control_id] = std::string(text); }
  std::map<int, std::string> fields;
};

// Records every box; answers Yes/No by `decide`, else from `answers` (No once they run out).
struct ScriptedPrompts final : Prompts {
  struct Box {
    std::string caption;
    std::string text;
  };
  void ErrorBox(const std::string& text) override { boxes.push_back({" Error ", text}); }
  void MessageBox(const std::string& caption, const std::string& text) override { boxes.push_back({caption, text}); }
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    boxes.push_back({caption, text});
    ++questions;
    if (decide) return decide(text);
    const bool answer = !answers.empty() && answers.front();
    if (!answers.empty()) answers.pop_front();
    return answer;
  }
  std::optional<std::string> BrowseForFile(const std::string& pattern, const std::string&) override {
    patterns.push_back(pattern);
    return file;
  }
  std::vector<Box> boxes;
  std::deque<bool> answers;
  std::function<bool(const std::string& text)> decide;
  std::optional<std::string> file;  // what the open-file dialog returns
  std::vector<std::string> patterns;  // the open-file dialog's, in order
  int questions = 0;
};

// A pump that moves the virtual clock, after letting a device take its turn.
struct ClockPump final : MessagePump {
  explicit ClockPump(VirtualTickClock& clock) : clock(clock) {}
  void PumpOneMessage() override {
    if (each_turn) each_turn();
    clock.Advance(1);
  }
  VirtualTickClock& clock;
  std::function<void()> each_turn;
};

// What a console's Host records into: its log, display fields, prompts and
// state. A fixture derives from it and makes its Host with HostOn.
struct HostRecorders {
  RecordingLog sink;
  MessageLog log{sink};
  RecordingDisplay display;
  ScriptedPrompts prompts;
  ConsoleState state;
  Host HostOn(TickClock& clock, MessagePump& pump) { return {clock, pump, log, display, prompts, state}; }
};

// A Host on a virtual clock that moves only as the console waits.
struct VirtualHost : HostRecorders {
  VirtualTickClock clock;
  ClockPump pump{clock};
  Host host = HostOn(clock, pump);
};

}  // namespace veritor::test
