#pragma once

#include <QWidget>
#include <string>

#include <functional>

#include "platform/ui.h"

namespace veritor {

// The open-file dialog's filter for a pattern: "*.txt" is offered as "txt
// files", and "*" as "All files", which on Linux has to be "*" and not "*.*"
// (that would hide every name without a dot).
QString FileDialogFilter(const std::string& pattern);

// Qt's message boxes and open-file dialog.
class QtPrompts final : public Prompts {
 public:
  explicit QtPrompts(QWidget* owner) : owner_(owner) {}
  // Esc at the Yes/No question is no answer but the operator's stop: this is
  // called, and the question ends as No.
  void SetEscapeAction(std::function<void()> action) { on_escape_ = std::move(action); }
  void ErrorBox(const std::string& text) override;
  void MessageBox(const std::string& caption, const std::string& text) override;
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> BrowseForFile(const std::string& pattern, const std::string& title) override;
  // The next open-file dialog opens in the folder of this path, when there
  // is one, else in the current directory.
  void SetStartPath(std::string path) { start_path_ = std::move(path); }

 private:
  QWidget* owner_;
  std::function<void()> on_escape_;
  std::string start_path_;
};

}  // namespace veritor
