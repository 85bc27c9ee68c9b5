#include "core/batch.h"

namespace veritor {

bool ReadBatchLine(std::FILE* file, std::string& line, size_t maximum) {
  line.clear();
  bool any_byte = false;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    any_byte = true;
    if (c == '\n') return true;
    if (c < 0x20) continue;
    if (line.size() < maximum) line += static_cast<char>(c);
  }
  return any_byte;
}

namespace {

uint64_t FileSize(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return 0;
  const long end = std::ftell(file);
  std::rewind(file);
  return end > 0 ? static_cast<uint64_t>(end) : 0;
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
  const FileHandle file = OpenForReading(path);
  if (!file) {
    host.prompts.ErrorBox("Can't open file [" + path + "]");
    return ActionOutcome::kRefused;
  }
  ActionProgress progress{.unit = "lines", .bytes_total = FileSize(file.get())};
  std::string line;
  std::string data;
  unsigned number = 1;
  for (; ReadBatchLine(file.get(), line) && !line.empty(); ++number) {
    // Line N is read and not sent yet: the lines before it were.
    if (host.StopRequested()) {
      host.log.LogMessage("Batch stopped in line %u", number);
      return ActionOutcome::kStopped;
    }
    host.log.LogMessage("L%05u> %s", number, line.c_str());
    const int result = executor.ExecuteCommand(line, data, verbose);
    if (result != kResultOk || executor.ReplyErrorCode() != 0) {
      host.log.LogMessage("Failed in line %u", number);
      host.log.LogMessage("Batch aborted in line %u", number);
      return result != kResultOk ? ActionOutcome::kLinkFailure : ActionOutcome::kDeviceError;
    }
    progress.done = number;
    progress.bytes_done = BytesRead(file.get());
    host.ReportProgress(progress);
  }
  // A read error looks like the end of the file to ReadBatchLine; the batch
  // must not pass for complete then.
  if (std::ferror(file.get())) {
    host.log.LogMessage("Failed reading '%s'", path.c_str());
    host.log.LogMessage("Batch aborted in line %u", number);
    return ActionOutcome::kRefused;
  }
  return ActionOutcome::kAnswered;
}

}  // namespace veritor
