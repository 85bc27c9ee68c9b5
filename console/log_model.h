#pragma once

#include <QAbstractListModel>
#include <QFont>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/code_page.h"
#include "platform/ui.h"

class QTreeView;

namespace veritor {

// The message log: append-only entries, stored compactly (one text arena and
// an offset per entry), shown by a view with uniform rows. Entries are
// queued and reach the view in batches, one insertion and one scroll per
// turn of the event loop, however many lines came.
class LogModel final : public QAbstractListModel {
 public:
  explicit LogModel(QObject* parent = nullptr);

  // Queues the entries of one logged text; the first of them is where the
  // view scrolls back to after showing the last.
  void Append(const std::vector<std::string>& entries);
  // Hands the queued entries to the view.
  void Flush();
  void Clear();
  void AttachView(QTreeView* view) { view_ = view; }
  // The entries keep the device's bytes; the page says how they are shown.
  void SetCodePage(const CodePage& page);

  size_t EntryCount() const { return offsets_.size() - 1; }
  std::string_view Entry(size_t row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  void ScheduleFlush();

  std::string arena_;
  std::vector<uint64_t> offsets_{0};  // entry i is arena_[offsets_[i], offsets_[i+1])
  size_t shown_ = 0;                  // entries the view knows of
  size_t last_call_first_ = 0;        // first entry of the latest logged text
  bool flush_scheduled_ = false;
  QTreeView* view_ = nullptr;
  CodePage page_ = *CodePage::Find(kDefaultCodePage);
};

// LogMessage's texts into the model, entry by entry as the log shows them.
class ModelLogSink final : public LogSink {
 public:
  explicit ModelLogSink(LogModel& model) : model_(model) {}
  void AppendLogText(std::string_view text) override;

 private:
  LogModel& model_;
};

}  // namespace veritor
