#include "console/qt_prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>

namespace veritor {

namespace {

QString Text(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

QString FileDialogFilter(const std::string& pattern) {
  if (pattern == "*" || pattern == "*.*") return QStringLiteral("All files (*)");
  const std::string kind = pattern.size() > 2 ? pattern.substr(2) : pattern;
  return Text(kind + " files (" + pattern + ")");
}

void QtPrompts::ErrorBox(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral(" Error "), Text(text), QMessageBox::Ok, owner_);
  box.exec();
}

void QtPrompts::MessageBox(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, Text(caption), Text(text), QMessageBox::Ok);
  box.exec();
}

namespace {

// Takes Esc from the box before the box makes it a click on No.
class EscapeWatch final : public QObject {
 public:
  EscapeWatch(QMessageBox& box, const std::function<void()>& action) : box_(box), action_(action) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || static_cast<QKeyEvent*>(event)->key() != Qt::Key_Escape) return false;
    action_();
    box_.done(QMessageBox::No);
    return true;
  }

 private:
  QMessageBox& box_;
  const std::function<void()>& action_;
};

}  // namespace

bool QtPrompts::AskYesNo(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, Text(caption), Text(text), QMessageBox::Yes | QMessageBox::No);
  EscapeWatch watch(box, on_escape_);
  if (on_escape_) box.installEventFilter(&watch);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtPrompts::BrowseForFile(const std::string& pattern, const std::string& title) {
  const QFileInfo start(Text(start_path_));
  const QString folder = !start_path_.empty() && start.dir().exists() ? start.absolutePath() : QStringLiteral(".");
  const QString path = QFileDialog::getOpenFileName(owner_, Text(title), folder, FileDialogFilter(pattern));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

}  // namespace veritor
