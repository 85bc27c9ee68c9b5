#include "console/logging_prompts.h"

namespace veritor {

std::string OneLine(const std::string& text) {
  std::string line;
  bool blank = false;
  for (char c : text) {
    const bool space = c == '\r' || c == '\n' || c == ' ' || c == '\t';
    if (space) {
      blank = !line.empty();
      continue;
    }
    if (blank) line += ' ';
    blank = false;
    line += c;
  }
  return line;
}

void LoggingPrompts::LogShown(const std::string& reason, const std::string& detail) {
  if (!refusal_.empty()) {
    log_.LogMessage("%s: %s", refusal_.c_str(), OneLine(reason).c_str());
  } else if (detail.empty()) {
    log_.LogMessage("Shown: %s", OneLine(reason).c_str());
  } else {
    log_.LogMessage("Shown: %s (%s)", OneLine(reason).c_str(), OneLine(detail).c_str());
  }
}

void LoggingPrompts::ErrorBox(const std::string& text) {
  LogShown(text, {});
  inner_.ErrorBox(text);
}

void LoggingPrompts::MessageBox(const std::string& caption, const std::string& text) {
  // The bitmap checks put the reason in the caption and a fixed word below.
  if (caption.empty()) LogShown(text, {});
  else LogShown(caption, text);
  inner_.MessageBox(caption, text);
}

bool LoggingPrompts::AskYesNo(const std::string& caption, const std::string& text) {
  const bool yes = inner_.AskYesNo(caption, text);
  log_.LogMessage("Asked: %s Answer: %s", OneLine(caption + " " + text).c_str(), yes ? "Yes" : "No");
  return yes;
}

}  // namespace veritor
