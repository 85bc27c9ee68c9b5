#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veritor {

// Whose text a log entry holds: the console's own (messages, file paths), in
// UTF-8, or one that carries the device's bytes (requests, replies), shown
// through the device's code page.
enum class LogText : unsigned char { kHost, kDevice };

// Receives each text that LogMessage formatted; the sink turns it into log
// entries (see core/log_entries.h).
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void AppendLogText(std::string_view text, LogText origin) = 0;
};

// The text fields of the main window that the protocol writes: the "Request"
// and "Reply" lines and the sixteen status-bit fields (core/control_ids.h).
class DisplayFields {
 public:
  virtual ~DisplayFields() = default;
  virtual void SetFieldText(int control_id, std::string_view text) = 0;
};

// Modal questions and messages to the operator.
class Prompts {
 public:
  virtual ~Prompts() = default;
  // Caption " Error ", the error icon, owned by the main window.
  virtual void ErrorBox(const std::string& text) = 0;
  // A plain message box without owner and with one OK button.
  virtual void MessageBox(const std::string& caption, const std::string& text) = 0;
  // Yes and No buttons; true for Yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
  // The open-file dialog: a file matching `pattern` ("*.txt"), or nothing
  // when the operator cancelled.
  virtual std::optional<std::string> BrowseForFile(const std::string& /*pattern*/, const std::string& /*title*/) {
    return std::nullopt;
  }
};

}  // namespace veritor
