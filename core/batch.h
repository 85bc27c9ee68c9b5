#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/command.h"
#include "core/host.h"

namespace veritor {

// How one of the console's file actions (batch, signing, bitmap upload) ended.
enum class ActionOutcome {
  kAnswered,     // every request was answered with error code 0
  kAnsweredCut,  // a batch answered with error code 0 throughout, but a line longer than
                 // kMaxBatchLine was sent as its first kMaxBatchLine bytes
  kDeviceError,  // a reply carried a device error
  kLinkFailure,  // a request got no reply
  kRefused,      // no file name, or a file that cannot be opened, read or used
  kIgnored,      // another device exchange was under way; nothing was done
  kStopped,      // the operator stopped it between two exchanges
};

// The longest batch line; the rest of a longer line is dropped.
inline constexpr size_t kMaxBatchLine = 1500;

// Reads one line: up to LF or the end of the file, every byte below 0x20
// (CR and TAB too) removed, at most `maximum` bytes kept. False when the file
// ended, or failed, before the first byte of a line. `length`, when given,
// receives the line's length before the cut (control bytes not counted).
bool ReadBatchLine(std::FILE* file, std::string& line, size_t maximum = kMaxBatchLine, size_t* length = nullptr);

// Sends the lines of the batch file as requests, one after the other, and
// stops at the first empty line, the first request without a reply and the
// first device error. A line longer than kMaxBatchLine is sent as its first
// kMaxBatchLine bytes, with a log line that says so; a batch that sent such a
// line and no other failure ends with "Batch cut: ..." and kAnsweredCut.
ActionOutcome RunBatchFile(Host& host, CommandExecutor& executor, const std::string& path, bool verbose);

// Closes a C stream when it goes out of scope.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens the file of a batch, a signing run or a bitmap upload. Anything but a
// regular file (a folder, a FIFO, whose open would wait for a writer, a
// device) is refused with a log line before it is opened: the caller shows
// its "cannot open" box and sends nothing.
FileHandle OpenForReading(MessageLog& log, const std::string& path);
// The same without the log line, for callers that word the refusal themselves.
FileHandle OpenForReading(const std::string& path);

// The size of an open file, which is read again from its start; false when
// the file cannot be sized.
bool FindFileSize(std::FILE* file, uint64_t& size);

}  // namespace veritor
