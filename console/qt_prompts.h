#pragma once

#include <QWidget>

#include "platform/ui.h"

namespace veritor {

// Qt's message boxes and open-file dialog.
class QtPrompts final : public Prompts {
 public:
  explicit QtPrompts(QWidget* owner) : owner_(owner) {}
  void ErrorBox(const std::string& text) override;
  void MessageBox(const std::string& caption, const std::string& text) override;
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> BrowseForFile(const std::string& pattern, const std::string& title) override;

 private:
  QWidget* owner_;
};

}  // namespace veritor
