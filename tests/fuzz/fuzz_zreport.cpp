// The Z report's files: the steps of "A", "Q" and "x/2" with reply texts
// from the input, the output folder a fresh $HOME/out/. No file may appear
// anywhere else under $HOME. Input: a record per step (the reply text cut to
// kMaxReplyText), flags bits 0 and 1: A step, Q step, signature step, closing
// the A file; bit 2: the operator's answer to the signature question.

#include "platform/paths.h"
#include "serial/z_report.h"
#include "tests/fuzz/fuzz_host.h"
#include "tests/support/temp_dir.h"

namespace veritor::fuzz {

test::TempDir g_home;
std::string g_out;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("HOME", g_home.path().c_str(), 1);
  g_out = DefaultOutputDirectory();
  FUZZ_CHECK(g_out == g_home.slash() + "out/");
  std::filesystem::create_directory(g_out);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  {
    FuzzHost fuzz;
    ZReportFiles files(fuzz.log, fuzz.prompts, g_out);
    for (Record& step : input.Records(kMaxReplyText)) {
      const int kind = step.flags & 0x03;
      if (kind == 0) files.AStep(step.bytes);
      if (kind == 1) files.QStep(step.bytes);
      FUZZ_CHECK(kind != 1 || step.bytes.size() <= ZReportFiles::kMaxQReply);
      if (kind == 2) {
        fuzz.prompts.answers = {(step.flags & 0x04) != 0};
        const int result = files.SignatureStep();
        files.SignatureRequestEnded("x/2", result, "00/00/00");
        files.ForgetAnswers();  // the command ends, as ExecuteCommand tells the link
        FUZZ_CHECK(result == kResultOk || result == kResultSignatureRejected || result == kResultBFileFailed ||
                   result == kResultFingerprintFailed || result == kResultNoReport);
        // A signature the device gave is in the B file: 40 hexadecimal digits.
        const std::string b_file = test::ReadFile(files.BFilePath());
        FUZZ_CHECK((result != kResultOk && result != kResultSignatureRejected) ||
                   (b_file.size() == 40 && b_file.find_first_not_of("0123456789ABCDEF") == std::string::npos));
      }
      if (kind == 3) files.CloseAFile();
      // The report's name, with "_a.txt" after it, stays a file in the folder.
      FUZZ_CHECK(files.ReportName().find_first_of(std::string_view("/\0", 2)) == std::string::npos);
      FUZZ_CHECK(files.AFilePath().empty() || files.AFilePath() == g_out + files.ReportName() + "_a.txt");
      FUZZ_CHECK(files.BFilePath().empty() || files.BFilePath() == g_out + files.ReportName() + "_b.txt");
    }
  }
  // The out/ folder and files straight inside it; nothing else.
  const std::filesystem::path out_folder = std::filesystem::path(g_out).parent_path();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(g_home.path()))
    FUZZ_CHECK(entry.path() == out_folder || (entry.path().parent_path() == out_folder && entry.is_regular_file()));
  for (const auto& entry : std::filesystem::directory_iterator(g_out)) std::filesystem::remove_all(entry.path());
  return 0;
}

}  // namespace veritor::fuzz
