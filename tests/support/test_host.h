#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/host.h"
#include "core/log_entries.h"

namespace veritor::test {

// Keeps every log entry as the message log would show it.
class RecordingLog final : public LogSink {
 public:
  void AppendLogText(std::string_view text) override {
    for (std::string& entry : VisibleLogEntries(text)) entries.push_back(std::move(entry));
  }
  bool Contains(const std::string& entry) const {
    for (const std::string& e : entries)
      if (e == entry) return true;
    return false;
  }
  size_t Count(const std::string& entry) const {
    size_t n = 0;
    for (const std::string& e : entries) n += e == entry;
    return n;
  }
  std::vector<std::string> entries;
};

class RecordingDisplay final : public DisplayFields {
 public:
  void SetFieldText(int control_id, std::string_view text) override { fields[control_id] = std::string(text); }
  std::map<int, std::string> fields;
};

// Records every box; answers the Yes/No questions by `decide` when set, else
// from a queue (No when empty).
class ScriptedPrompts final : public Prompts {
 public:
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
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::optional<std::string> BrowseForFile(const std::string&, const std::string&) override {
    if (files.empty()) return std::nullopt;
    std::string file = files.front();
    files.pop_front();
    return file;
  }
  std::vector<Box> boxes;
  std::deque<bool> answers;
  std::function<bool(const std::string& text)> decide;
  std::deque<std::string> files;  // what the open-file dialog returns, in turn
  int questions = 0;
};

// A pump that only moves the virtual clock.
class ClockPump final : public MessagePump {
 public:
  explicit ClockPump(VirtualTickClock& clock) : clock_(clock) {}
  void PumpOneMessage() override { clock_.Advance(1); }

 private:
  VirtualTickClock& clock_;
};

}  // namespace veritor::test
