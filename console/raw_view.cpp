#include "console/raw_view.h"

#include <QDateTime>

#include "console/log_model.h"

namespace veritor {

namespace {

constexpr int kFlushIntervalMs = 100;
constexpr int kMaxLines = 20000;

const char* ControlName(uint8_t byte) {
  switch (byte) {
    case 0x00: return "<NUL>";
    case 0x02: return "<STX>";
    case 0x03: return "<ETX>";
    case 0x05: return "<ENQ>";
    case 0x06: return "<ACK>";
    case 0x15: return "<NAK>";
    case 0x18: return "<CAN>";
    default: return nullptr;
  }
}

}  // namespace

std::string FormatRawFrame(int64_t ms_since_epoch, const char* link, TapDirection direction, const uint8_t* data,
                           size_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = FormatLogTime(ms_since_epoch);
  line += ' ';
  line += link;
  line += direction == TapDirection::kSent ? " >> " : " << ";
  line += std::to_string(length);
  line += length == 1 ? " byte  " : " bytes  ";
  line.reserve(line.size() + length * 5 + 4);
  for (size_t i = 0; i < length; ++i) {
    if (i > 0) line += ' ';
    line += kHex[data[i] >> 4];
    line += kHex[data[i] & 0x0F];
  }
  line += "  |";
  for (size_t i = 0; i < length; ++i) {
    if (const char* name = ControlName(data[i]))
      line += name;
    else
      line += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
  }
  line += "|\n";
  return line;
}

RawByteView::RawByteView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setMaximumBlockCount(kMaxLines);
  setUndoRedoEnabled(false);  // nothing to undo in a read-only view, and it would keep every line twice
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  flush_timer_.setSingleShot(true);
  flush_timer_.setInterval(kFlushIntervalMs);
  connect(&flush_timer_, &QTimer::timeout, this, [this] { Flush(); });
}

void RawByteView::OnFrame(const char* link, TapDirection direction, const uint8_t* data, size_t length) {
  if (!(direction == TapDirection::kSent ? show_sent_ : show_received_)) return;
  pending_ += FormatRawFrame(QDateTime::currentMSecsSinceEpoch(), link, direction, data, length);
  // While paused, only the newest frames the view could hold are kept.
  if (++pending_lines_ > kMaxLines) {
    pending_.erase(0, pending_.find('\n') + 1);
    --pending_lines_;
  }
  if (!paused_ && !flush_timer_.isActive()) flush_timer_.start();
}

void RawByteView::Flush() {
  flush_timer_.stop();
  if (paused_ || pending_.empty()) return;
  pending_.pop_back();  // appendPlainText starts a line of its own
  appendPlainText(QString::fromLatin1(pending_.data(), static_cast<qsizetype>(pending_.size())));
  pending_.clear();
  pending_lines_ = 0;
}

void RawByteView::SetPaused(bool paused) {
  paused_ = paused;
  if (!paused) Flush();
}

void RawByteView::ShowDirections(bool sent, bool received) {
  show_sent_ = sent;
  show_received_ = received;
}

}  // namespace veritor
