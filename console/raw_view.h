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
  // Shows what is pending now.
  void Flush();

 private:
  std::string pending_;
  QTimer flush_timer_;
};

}  // namespace veritor
