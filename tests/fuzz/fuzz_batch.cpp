// Batch files of any content: the input is the file. ReadBatchLine over it
// in memory must give its lines as the console defines them, and
// RunBatchFile must send exactly those up to the first empty one, the device
// answering "00/00/00" to each.


#include "core/batch.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {
namespace {

// Pieces between LF bytes (a last piece only when it holds a byte), bytes
// below 0x20 taken out, then cut to kMaxBatchLine bytes.
std::vector<std::string> ExpectedLines(const std::string& file) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < file.size()) {
    size_t end = file.find('\n', start);
    if (end == std::string::npos) end = file.size();
    std::string line;
    for (size_t i = start; i < end; ++i)
      if (static_cast<uint8_t>(file[i]) >= 0x20) line += file[i];
    lines.push_back(line.substr(0, kMaxBatchLine));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ReadLinesInMemory(const std::string& file) {
  std::vector<std::string> lines;
  if (file.empty()) return lines;  // fmemopen takes no empty buffer
  std::FILE* stream = fmemopen(const_cast<char*>(file.data()), file.size(), "r");
  FUZZ_CHECK(stream != nullptr);
  std::string line;
  while (ReadBatchLine(stream, line)) lines.push_back(line);
  std::fclose(stream);
  return lines;
}

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = ExpectedLines(file);
  FUZZ_CHECK(ReadLinesInMemory(file) == lines);

  const InputFile input_file(file);
  FuzzHost fuzz;
  ScriptedLink link;
  CommandExecutor executor(fuzz.host, link);
  FUZZ_CHECK(RunBatchFile(fuzz.host, executor, input_file.path(), false) == ActionOutcome::kAnswered);
  std::vector<std::string> sent;
  for (const std::string& line : lines) {
    if (line.empty()) break;
    sent.push_back(line);
  }
  FUZZ_CHECK(link.requests == sent);
  return 0;
}
