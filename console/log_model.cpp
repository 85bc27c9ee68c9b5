#include "console/log_model.h"

#include <QDateTime>
#include <QScrollBar>
#include <QTreeView>
#include <cerrno>
#include <ctime>

#include "core/log_entries.h"

namespace veritor {

namespace {

// A flush at most this often: the view repaints a few times a second however
// fast the entries come.
constexpr int kFlushIntervalMs = 100;
// Entries longer than this get their whole text as a tool tip, in lines of
// kToolTipLine characters.
constexpr size_t kLongEntry = 80;
constexpr qsizetype kToolTipLine = 100;

QString Qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

std::string FormatLogTime(int64_t ms_since_epoch) {
  // The local time of the second is worked out once per second, not per entry.
  static int64_t cached_second = -1;
  static char cached[16] = "";
  const int64_t second = ms_since_epoch / 1000;
  if (second != cached_second) {
    const auto seconds = static_cast<std::time_t>(second);
    std::tm local{};
    localtime_r(&seconds, &local);
    std::snprintf(cached, sizeof cached, "%02d:%02d:%02d", local.tm_hour % 100, local.tm_min % 100,
                  local.tm_sec % 100);
    cached_second = second;
  }
  char text[24];
  std::snprintf(text, sizeof text, "%s.%03d", cached, static_cast<int>(ms_since_epoch % 1000));
  return text;
}

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent) {
  flush_timer_.setSingleShot(true);
  flush_timer_.setInterval(kFlushIntervalMs);
  connect(&flush_timer_, &QTimer::timeout, this, [this] { Flush(); });
}

LogModel::~LogModel() {
  log_file_failed = nullptr;  // its owner may be gone already
  SetLogFile(nullptr);
}

std::string_view LogModel::Entry(size_t row) const {
  return std::string_view(arena_).substr(offsets_[row], offsets_[row + 1] - offsets_[row]);
}

std::string LogModel::EntryLine(size_t row) const {
  std::string line = timestamps_ ? FormatLogTime(times_[row]) + "  " : std::string();
  line += page_.LogLineToUtf8(Entry(row), EntryOrigin(row));
  return line;
}

QString LogModel::Shown(size_t row) const { return Qs(page_.LogLineToUtf8(Entry(row), EntryOrigin(row))); }

void LogModel::Append(const std::vector<std::string>& entries, LogText origin) {
  last_call_first_ = EntryCount();
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  for (const std::string& entry : entries) {
    arena_ += entry;
    offsets_.push_back(arena_.size());
    times_.push_back(now);
    device_text_.push_back(origin == LogText::kDevice);
  }
  // The file gets each entry at once: a killed window loses nothing logged.
  WriteToLogFile(written_, EntryCount());
  ScheduleFlush();
}

void LogModel::ScheduleFlush() {
  if (!flush_timer_.isActive()) flush_timer_.start();
}

bool LogModel::ViewAtBottom() const {
  if (view_ == nullptr) return false;
  const QScrollBar* bar = view_->verticalScrollBar();
  return bar->value() >= bar->maximum();
}

void LogModel::Flush() {
  flush_timer_.stop();
  const size_t count = EntryCount();
  WriteToLogFile(written_, count);
  if (count == shown_) return;
  // The view follows new entries only while the operator has not scrolled up.
  const bool follow = ViewAtBottom();
  beginInsertRows({}, static_cast<int>(shown_), static_cast<int>(count - 1));
  shown_ = count;
  endInsertRows();
  if (!follow) return;
  // The last line comes into view, then the first line of the same text.
  view_->scrollTo(index(static_cast<int>(count - 1)), QAbstractItemView::EnsureVisible);
  view_->scrollTo(index(static_cast<int>(last_call_first_)), QAbstractItemView::EnsureVisible);
}

void LogModel::WriteToLogFile(size_t first, size_t end) {
  if (log_file_ == nullptr || first >= end) return;
  errno = 0;
  bool written = true;
  for (size_t row = first; row < end && written; ++row) {
    const std::string line = FormatLogTime(times_[row]) + "  " + page_.LogLineToUtf8(Entry(row), EntryOrigin(row)) + "\n";
    written = std::fwrite(line.data(), 1, line.size(), log_file_) == line.size();
  }
  written_ = end;
  if (std::fflush(log_file_) == 0 && written && !std::ferror(log_file_)) return;
  const int error = errno != 0 ? errno : EIO;
  std::fclose(log_file_);
  log_file_ = nullptr;
  if (log_file_failed) log_file_failed(error);
}

void LogModel::SetLogFile(std::FILE* file, bool with_earlier_entries) {
  if (log_file_ != nullptr) WriteToLogFile(written_, EntryCount());
  if (log_file_ != nullptr) std::fclose(log_file_);  // a failed write closed it already
  log_file_ = file;
  written_ = with_earlier_entries ? 0 : EntryCount();
}

void LogModel::ShowTimestamps(bool on) {
  if (on == timestamps_) return;
  timestamps_ = on;
  if (shown_ > 0) emit dataChanged(index(0), index(static_cast<int>(shown_ - 1)), {Qt::DisplayRole});
}

bool LogModel::SaveTo(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = true;
  for (size_t row = 0; row < EntryCount() && ok; ++row) {
    const std::string line = EntryLine(row) + "\n";
    ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  }
  return std::fclose(file) == 0 && ok;
}

void LogModel::Clear() {
  WriteToLogFile(written_, EntryCount());
  beginResetModel();
  arena_.clear();
  offsets_.assign(1, 0);
  times_.clear();
  device_text_.clear();
  shown_ = 0;
  written_ = 0;
  last_call_first_ = 0;
  endResetModel();
}

void LogModel::SetCodePage(const CodePage& page) {
  page_ = page;
  if (shown_ > 0) emit dataChanged(index(0), index(static_cast<int>(shown_ - 1)));
}

int LogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(shown_);
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || static_cast<size_t>(index.row()) >= shown_) return {};
  const auto row = static_cast<size_t>(index.row());
  if (role == Qt::DisplayRole) return Qs(EntryLine(row));
  if (role == Qt::ToolTipRole) {
    const std::string_view text = Entry(row);
    if (text.size() <= kLongEntry) return {};
    const QString whole = Shown(row);
    QString wrapped;
    for (qsizetype at = 0; at < whole.size(); at += kToolTipLine) {
      if (at > 0) wrapped += QLatin1Char('\n');
      wrapped += whole.mid(at, kToolTipLine);
    }
    return wrapped;
  }
  return {};
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) return QStringLiteral("Veritor messages");
  return {};
}

void ModelLogSink::AppendLogText(std::string_view text, LogText origin) {
  model_.Append(VisibleLogEntries(text), origin);
}

}  // namespace veritor
