#pragma once

#include <string>

#include "core/log.h"
#include "platform/ui.h"

namespace veritor {

// The operator's prompts, with what was shown and answered written to the
// log as well: a question with its answer, a message with its reason.
class LoggingPrompts final : public Prompts {
 public:
  LoggingPrompts(Prompts& inner, MessageLog& log) : inner_(inner), log_(log) {}

  void ErrorBox(const std::string& text) override;
  void MessageBox(const std::string& caption, const std::string& text) override;
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> BrowseForFile(const std::string& pattern, const std::string& title) override {
    return inner_.BrowseForFile(pattern, title);
  }

  // While set, a message or error box is logged as "<refusal>: <reason>".
  void SetRefusal(std::string refusal) { refusal_ = std::move(refusal); }

 private:
  void LogShown(const std::string& reason, const std::string& detail);

  Prompts& inner_;
  MessageLog& log_;
  std::string refusal_;
};

// The text on one line: every run of CR, LF and blanks becomes one blank.
std::string OneLine(const std::string& text);

}  // namespace veritor
