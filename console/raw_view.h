#pragma once

#include <QPlainTextEdit>
#include <QTimer>
#include <string>

#include "platform/byte_tap.h"

namespace veritor {

// One frame as the raw view shows it: its time, the link, the direction, the
// bytes in hexadecimal and as text (control bytes by name, others as ".").
std::string FormatRawFrame(int64_t ms_since_epoch, const char* link, TapDirection direction, const uint8_t* data,
                           size_t length);

// The raw byte view: frames are formatted as they come and shown together a
// few times a second, so a fast exchange does not repaint per frame.
class RawByteView final : public QPlainTextEdit, public ByteTap {
 public:
  explicit RawByteView(QWidget* parent);
  void OnFrame(const char* link, TapDirection direction, const uint8_t* data, size_t length) override;
  // Shows what is pending now, unless paused.
  void Flush();
  // Paused, the view holds still; what comes meanwhile is shown on resuming.
  void SetPaused(bool paused);
  bool Paused() const { return paused_; }
  // Which directions are shown from now on.
  void ShowDirections(bool sent, bool received);

 private:
  std::string pending_;
  size_t pending_lines_ = 0;
  bool paused_ = false;
  bool show_sent_ = true;
  bool show_received_ = true;
  QTimer flush_timer_;
};

}  // namespace veritor
