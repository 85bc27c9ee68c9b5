#include "core/batch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>

#include "core/file_signing.h"

namespace veritor {

namespace {

size_t CountKeptBytes(const char* bytes, size_t count) {
  return static_cast<size_t>(std::count_if(bytes, bytes + count, [](char c) { return static_cast<unsigned char>(c) >= 0x20; }));
}

// The rest of a line too long to keep, read in blocks up to its LF; what
// follows the LF is put back. A file that cannot seek is read byte by byte.
// Returns how many of its bytes a line keeps (those from 0x20 up).
size_t SkipRestOfLine(std::FILE* file) {
  size_t kept = 0;
  if (std::ftell(file) < 0) {
    for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) kept += c >= 0x20 ? 1 : 0;
    return kept;
  }
  std::array<char, 65536> block;
  while (true) {
    const size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got == 0) return kept;
    if (const auto* lf = static_cast<const char*>(std::memchr(block.data(), '\n', got))) {
      const auto line_part = static_cast<size_t>(lf - block.data());
      kept += CountKeptBytes(block.data(), line_part);
      const auto after = static_cast<long>(got - line_part - 1);
      if (after > 0) std::fseek(file, -after, SEEK_CUR);
      return kept;
    }
    kept += CountKeptBytes(block.data(), got);
  }
}

}  // namespace

bool ReadBatchLine(std::FILE* file, std::string& line, size_t maximum, size_t* length) {
  line.clear();
  size_t whole_length = 0;
  bool any_byte = false;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    any_byte = true;
    if (c == '\n') break;
    if (c < 0x20) continue;
    ++whole_length;
    if (line.size() < maximum) line += static_cast<char>(c);
    if (line.size() >= maximum) {
      // A line of a hundred megabytes is passed over in a blink, not byte by byte.
      whole_length += SkipRestOfLine(file);
      break;
    }
  }
  if (length != nullptr) *length = whole_length;
  return any_byte;
}

namespace {

// What the path names when that is not a regular file; nothing otherwise,
// also when it names nothing (the open then fails and says so).
const char* NotARegularFile(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error || status.type() == fs::file_type::regular) return nullptr;
  switch (status.type()) {
    case fs::file_type::directory: return "a folder";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block: return "a device";
    case fs::file_type::socket: return "a socket";
    default: return "something else";
  }
}

}  // namespace

FileHandle OpenForReading(MessageLog& log, const std::string& path) {
  if (const char* what = NotARegularFile(path)) {
    log.LogMessage("'%s' is not a regular file but %s; not opened", path.c_str(), what);
    return nullptr;
  }
  return FileHandle(std::fopen(path.c_str(), "rb"));
}

bool FindFileSize(std::FILE* file, uint64_t& size) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
  size = static_cast<uint64_t>(end);
  return true;
}

FileHandle OpenForReading(const std::string& path) {
  if (NotARegularFile(path) != nullptr) return nullptr;
  return FileHandle(std::fopen(path.c_str(), "rb"));
}

namespace {

// A batch may open a signature block ("{") and close it ("}"): when it ends
// half-way, the operator must know that the device still holds one open.
class SignatureBlockWatch {
 public:
  void Answered(const std::string& line, unsigned number) {
    if (line[0] == '{') opened_in_ = number;
    if (line[0] == '}') opened_in_ = 0;
  }
  void LogIfOpen(MessageLog& log) const {
    if (opened_in_ != 0)
      log.LogMessage("The signature block opened in line %u is still open: %s", opened_in_, kOpenBlockRefusal);
  }

 private:
  unsigned opened_in_ = 0;
};

// `result` is the failed line's: a link that refused to send it (too long for
// its frame, a byte that would break the frame) leaves no doubt about it.
void LogWhatWasSent(MessageLog& log, unsigned failed_line, int result) {
  const char* what = result == kResultOk              ? "was refused"
                     : result == kResultRequestTooLong ? "was not sent"
                                                       : "got no reply; the device may or may not have carried it out";
  if (failed_line == 1)
    log.LogMessage("Line 1 %s; nothing else was sent", what);
  else if (failed_line == 2)
    log.LogMessage("Line 1 was carried out; line 2 %s", what);
  else
    log.LogMessage("Lines 1 to %u were carried out; line %u %s", failed_line - 1, failed_line, what);
}

uint64_t BytesRead(std::FILE* file) {
  const long position = std::ftell(file);
  return position > 0 ? static_cast<uint64_t>(position) : 0;
}

}  // namespace

ActionOutcome RunBatchFile(Host& host, CommandExecutor& executor, const std::string& path, bool verbose) {
  if (host.state.TransactionInProgress) return ActionOutcome::kIgnored;
  if (path.empty()) {
    host.prompts.ErrorBox("No filename specified");
    return ActionOutcome::kRefused;
  }
  const FileHandle file = OpenForReading(host.log, path);
  if (!file) {
    host.prompts.ErrorBox("Can't open file [" + path + "]");
    return ActionOutcome::kRefused;
  }
  uint64_t size = 0;
  ActionProgress progress{.unit = "lines", .bytes_total = FindFileSize(file.get(), size) ? size : 0};
  std::string line;
  size_t length = 0;
  std::string data;
  unsigned number = 1;
  unsigned cut_lines = 0;
  SignatureBlockWatch block;
  for (; ReadBatchLine(file.get(), line, kMaxBatchLine, &length) && !line.empty(); ++number) {
    // Line N is read and not sent yet: the lines before it were.
    if (host.StopRequested()) {
      host.log.LogMessage("Batch stopped in line %u", number);
      block.LogIfOpen(host.log);
      return ActionOutcome::kStopped;
    }
    host.log.LogDevice("L%05u> %s", number, line.c_str());
    if (length > line.size()) {
      host.log.LogMessage("Line %u: %zu bytes, sent as its first %zu", number, length, line.size());
      ++cut_lines;
    }
    const int result = executor.ExecuteCommand(line, data, verbose);
    if (result != kResultOk || executor.ReplyErrorCode() != 0) {
      host.log.LogMessage("Failed in line %u", number);
      host.log.LogMessage("Batch aborted in line %u", number);
      LogWhatWasSent(host.log, number, result);
      if (result != kResultOk && result != kResultRequestTooLong && (line[0] == '{' || line[0] == '}'))
        host.log.LogMessage("Whether the device took line %u is not known: if a signature block is open, %s", number,
                            kOpenBlockRefusal);
      else
        block.LogIfOpen(host.log);
      return result != kResultOk ? ActionOutcome::kLinkFailure : ActionOutcome::kDeviceError;
    }
    block.Answered(line, number);
    progress.done = number;
    progress.bytes_done = BytesRead(file.get());
    host.ReportProgress(progress);
  }
  // A read error looks like the end of the file to ReadBatchLine; the batch
  // must not pass for complete then.
  if (std::ferror(file.get())) {
    host.log.LogMessage("Failed reading '%s'", path.c_str());
    host.log.LogMessage("Batch aborted in line %u", number);
    block.LogIfOpen(host.log);
    return ActionOutcome::kRefused;
  }
  if (cut_lines > 0) {
    host.log.LogMessage("Batch cut: %u of %u lines sent as their first %zu bytes", cut_lines, number - 1,
                        kMaxBatchLine);
    return ActionOutcome::kAnsweredCut;
  }
  return ActionOutcome::kAnswered;
}

}  // namespace veritor
