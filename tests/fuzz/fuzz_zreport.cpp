// The Z report's files: the steps of "A", "Q" and "x/2" with reply texts
// from the input, the output folder a fresh $HOME/out/. No file may appear
// anywhere else under $HOME.
//
// Input: one record per step: a byte (bits 0 and 1: A step, Q step,
// signature step, closing the A file; bit 2: the operator's answer to the
// signature question), the reply's length (2 bytes, little-endian), the
// reply text.

#include <stdlib.h>

#include <filesystem>

#include "platform/paths.h"
#include "serial/z_report.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {
namespace {

namespace fs = std::filesystem;

std::string g_home;
std::string g_out;

void RemoveHome() {
  std::error_code ignored;
  fs::remove_all(g_home, ignored);
}

// A name that, with "_a.txt" after it, stays a file in the folder.
bool NameStaysInTheFolder(const std::string& name) {
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// The out/ folder and files straight inside it; nothing else.
void CheckNothingOutsideTheOutputFolder() {
  for (const auto& entry : fs::recursive_directory_iterator(g_home)) {
    const fs::path& path = entry.path();
    const bool is_out_folder = path == fs::path(g_out).parent_path();
    const bool in_out_folder = path.parent_path() == fs::path(g_out).parent_path() && entry.is_regular_file();
    if (!is_out_folder && !in_out_folder) std::fprintf(stderr, "stray: %s\n", path.c_str());
    FUZZ_CHECK(is_out_folder || in_out_folder);
  }
}

void RemoveOutputFiles() {
  for (const auto& entry : fs::directory_iterator(g_out)) fs::remove_all(entry.path());
}

void CheckSignature(ZReportFiles& files, int result) {
  FUZZ_CHECK(result == kResultOk || result == kResultSignatureRejected || result == kResultBFileFailed ||
             result == kResultFingerprintFailed);
  if (result != kResultOk && result != kResultSignatureRejected) return;
  FILE* b_file = std::fopen(files.BFilePath().c_str(), "rb");
  FUZZ_CHECK(b_file != nullptr);
  char text[64] = {};
  const size_t length = std::fread(text, 1, sizeof text, b_file);
  std::fclose(b_file);
  FUZZ_CHECK(length == 40);
  for (size_t i = 0; i < length; ++i)
    FUZZ_CHECK((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'A' && text[i] <= 'F'));
}

void RunStep(ZReportFiles& files, test::ScriptedPrompts& prompts, uint8_t step, std::string reply) {
  switch (step & 0x03) {
    case 0:
      files.AStep(reply);
      break;
    case 1:
      files.QStep(reply);
      FUZZ_CHECK(reply.size() <= ZReportFiles::kMaxQReply);
      break;
    case 2:
      prompts.answers = {(step & 0x04) != 0};
      CheckSignature(files, files.SignatureStep());
      break;
    default:
      files.CloseAFile();
  }
  FUZZ_CHECK(NameStaysInTheFolder(files.ReportName()));
  FUZZ_CHECK(files.AFilePath().empty() || files.AFilePath() == g_out + files.ReportName() + "_a.txt");
  FUZZ_CHECK(files.BFilePath().empty() || files.BFilePath() == g_out + files.ReportName() + "_b.txt");
}

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "veritor-fuzz-home-XXXXXX").string();
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  g_home = pattern;
  setenv("HOME", g_home.c_str(), 1);
  g_out = DefaultOutputDirectory();
  FUZZ_CHECK(g_out == g_home + "/out/");
  fs::create_directory(g_out);
  std::atexit(RemoveHome);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  {
    FuzzHost fuzz;
    ZReportFiles files(fuzz.log, fuzz.prompts, g_out);
    while (!input.empty()) {
      const uint8_t step = input.Byte();
      RunStep(files, fuzz.prompts, step, input.Take(std::min<size_t>(input.Word(), kMaxReplyText)));
    }
  }
  CheckNothingOutsideTheOutputFolder();
  RemoveOutputFiles();
  return 0;
}
