#pragma once

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QFont>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/code_page.h"
#include "platform/ui.h"

class QTreeView;

namespace veritor {

// The message log: append-only entries, stored compactly (one text arena, an
// offset and the time logged per entry), shown by a view with uniform rows.
// Entries are queued and reach the view in batches, one insertion and at most
// one scroll per flush, however many lines came; a flush runs on a short timer
// so that a fast run repaints a few times a second, not once per entry.
class LogModel final : public QAbstractListModel {
 public:
  explicit LogModel(QObject* parent = nullptr);
  ~LogModel() override;

  // Queues the entries of one logged text; the first of them is where the
  // view scrolls back to after showing the last.
  void Append(const std::vector<std::string>& entries, LogText origin);
  // Hands the queued entries to the view (and to the log file).
  void Flush();
  void Clear();
  void AttachView(QTreeView* view) { view_ = view; }
  // The entries keep the device's bytes; the page says how they are shown.
  void SetCodePage(const CodePage& page);

  size_t EntryCount() const { return offsets_.size() - 1; }
  std::string_view Entry(size_t row) const;
  LogText EntryOrigin(size_t row) const { return device_text_[row] ? LogText::kDevice : LogText::kHost; }
  // The entry as shown, saved or copied, in UTF-8: the device's bytes through
  // the code page, the time in front when times are shown.
  std::string EntryLine(size_t row) const;
  // When entry `row` was logged, in milliseconds since the epoch.
  int64_t EntryTime(size_t row) const { return times_[row]; }

  // Whether entries show the time they were logged (HH:MM:SS.mmm).
  void ShowTimestamps(bool on);
  bool TimestampsShown() const { return timestamps_; }

  // Every entry from now on (or from the first, `with_earlier_entries`) also
  // goes to this file, written as it is logged; null stops it. The model
  // closes the file it was given.
  void SetLogFile(std::FILE* file, bool with_earlier_entries = false);
  bool HasLogFile() const { return log_file_ != nullptr; }
  // Told, with the errno, when the log file could not be written; the model
  // has closed it and goes on without it.
  std::function<void(int error)> log_file_failed;

  // Writes every entry, one a line; false when the file could not be written.
  bool SaveTo(const std::string& path) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  void ScheduleFlush();
  void WriteToLogFile(size_t first, size_t end);
  bool ViewAtBottom() const;
  QString Shown(size_t row) const;

  std::string arena_;
  std::vector<uint64_t> offsets_{0};  // entry i is arena_[offsets_[i], offsets_[i+1])
  std::vector<int64_t> times_;
  std::vector<bool> device_text_;     // entry i carries the device's bytes (one bit an entry)
  size_t shown_ = 0;                  // entries the view knows of
  size_t last_call_first_ = 0;        // first entry of the latest logged text
  bool timestamps_ = false;
  std::FILE* log_file_ = nullptr;
  size_t written_ = 0;                // entries the log file has
  QTimer flush_timer_;
  QTreeView* view_ = nullptr;
  CodePage page_ = *CodePage::Find(kDefaultCodePage);
};

// "HH:MM:SS.mmm" in local time.
std::string FormatLogTime(int64_t ms_since_epoch);

// LogMessage's texts into the model, entry by entry as the log shows them.
class ModelLogSink final : public LogSink {
 public:
  explicit ModelLogSink(LogModel& model) : model_(model) {}
  void AppendLogText(std::string_view text, LogText origin) override;

 private:
  LogModel& model_;
};

}  // namespace veritor
