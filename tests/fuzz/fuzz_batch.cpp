// Batch files of any content: the input is the file. ReadBatchLine over it
// in memory gives its lines as the console defines them, and RunBatchFile
// sends exactly those up to the first empty one, each answered "00/00/00".

#include "core/batch.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {

// Pieces between LF bytes (a last piece only when it holds a byte), bytes
// below 0x20 taken out, then cut to kMaxBatchLine bytes.
std::vector<std::string> ExpectedLines(const std::string& file) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < file.size();) {
    const size_t end = std::min(file.find('\n', start), file.size());
    std::string line;
    for (size_t i = start; i < end; ++i)
      if (static_cast<uint8_t>(file[i]) >= 0x20) line += file[i];
    lines.push_back(line.substr(0, kMaxBatchLine));
    start = end + 1;
  }
  return lines;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = ExpectedLines(file);
  std::vector<std::string> read;
  if (!file.empty()) {  // fmemopen takes no empty buffer
    std::FILE* stream = fmemopen(const_cast<char*>(file.data()), file.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    for (std::string line; ReadBatchLine(stream, line);) read.push_back(line);
    std::fclose(stream);
  }
  FUZZ_CHECK(read == lines);

  const InputFile input_file(file);
  FuzzHost fuzz;
  const ActionOutcome outcome = RunBatchFile(fuzz.host, fuzz.executor, input_file.path, false);
  FUZZ_CHECK(fuzz.link.requests == std::vector<std::string>(lines.begin(), std::find(lines.begin(), lines.end(), "")));
  // A line as long as the longest may have been cut from a longer one.
  const bool any_full =
      std::ranges::any_of(fuzz.link.requests, [](const std::string& r) { return r.size() == kMaxBatchLine; });
  FUZZ_CHECK(outcome == ActionOutcome::kAnswered || (any_full && outcome == ActionOutcome::kAnsweredCut));
  return 0;
}

}  // namespace veritor::fuzz
