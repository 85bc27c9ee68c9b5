#include "console/log_model.h"

#include <QTimer>
#include <QTreeView>

#include "core/log_entries.h"

namespace veritor {

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent) {}

std::string_view LogModel::Entry(size_t row) const {
  return std::string_view(arena_).substr(offsets_[row], offsets_[row + 1] - offsets_[row]);
}

void LogModel::Append(const std::vector<std::string>& entries) {
  last_call_first_ = EntryCount();
  for (const std::string& entry : entries) {
    arena_ += entry;
    offsets_.push_back(arena_.size());
  }
  ScheduleFlush();
}

void LogModel::ScheduleFlush() {
  if (flush_scheduled_) return;
  flush_scheduled_ = true;
  QTimer::singleShot(0, this, [this] { Flush(); });
}

void LogModel::Flush() {
  flush_scheduled_ = false;
  const size_t count = EntryCount();
  if (count == shown_) return;
  beginInsertRows({}, static_cast<int>(shown_), static_cast<int>(count - 1));
  shown_ = count;
  endInsertRows();
  if (view_ == nullptr) return;
  // The last line comes into view, then the first line of the same text.
  view_->scrollTo(index(static_cast<int>(count - 1)), QAbstractItemView::EnsureVisible);
  view_->scrollTo(index(static_cast<int>(last_call_first_)), QAbstractItemView::EnsureVisible);
}

void LogModel::Clear() {
  beginResetModel();
  arena_.clear();
  offsets_.assign(1, 0);
  shown_ = 0;
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
  if (role != Qt::DisplayRole || !index.isValid() || static_cast<size_t>(index.row()) >= shown_) return {};
  const std::string text = page_.LogLineToUtf8(Entry(static_cast<size_t>(index.row())));
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) return QStringLiteral("Veritor messages");
  return {};
}

void ModelLogSink::AppendLogText(std::string_view text) { model_.Append(VisibleLogEntries(text)); }

}  // namespace veritor
