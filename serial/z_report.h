#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "core/log.h"
#include "platform/ui.h"

namespace veritor {

// The Z report's A file (the report's lines, as the device sends them in
// replies to "Q") and B file (the SHA-1 fingerprint of the A file), named
// after the report that the reply to "A" names, in one output folder.
class ZReportFiles {
 public:
  // A "Q" reply is cut to this many characters.
  static constexpr size_t kMaxQReply = 60;

  ZReportFiles(MessageLog& log, Prompts& prompts, std::string output_directory);

  // Before "x/2" or "x/5" goes out: the fingerprint of the A file goes into
  // the B file and is put to the operator. kResultOk to send the request,
  // kResultSignatureRejected when the operator says No, kResultNoReport when
  // no report is in hand, kResultBFileFailed or kResultFingerprintFailed when
  // no signature could be produced.
  int SignatureStep();
  // An "A" request goes out: until its reply names the new report, there is
  // none in hand (a request without a reply must not leave the last one).
  void ReportRequested();
  // A good reply to "A": names the report and creates its A file. A reply
  // that names no report, or whose A file cannot be created, leaves no report
  // in hand, so that no later step touches an earlier report's files.
  void AStep(const std::string& reply);
  // A good reply to "Q": one line of the report. The reply may be cut.
  // BUSY and PRINTEROFFLINE replies, which are asked again, leave the files
  // alone; any other reply counts whatever its error code, unless it is a
  // device error with nothing after the status part.
  void QStep(std::string& reply);

  // True once after an A or Q step failed to write its file (the reply was
  // delivered all the same), so that a front end can say the run failed.
  bool TakeFileFailure() { return std::exchange(file_failure_, false); }

  const std::string& ReportName() const { return report_name_; }
  const std::string& AFilePath() const { return a_file_path_; }
  const std::string& BFilePath() const { return b_file_path_; }
  bool AFileIsOpen() const { return a_file_ != nullptr; }
  void CloseAFile();

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  using File = std::unique_ptr<std::FILE, FileCloser>;

  bool ReportNameIsSafe(const std::string& name) const;
  void ForgetReport(std::string why);
  // The reply to "A" named no report it could store: said with a box.
  void DropReport(std::string why);
  void AppendLine(const std::string& line);
  std::string LineText(const std::string& reply);
  int WriteSignature(const char* signature);

  MessageLog& log_;
  Prompts& prompts_;
  std::string output_directory_;
  std::string report_name_;
  std::string a_file_path_;
  std::string b_file_path_;
  File a_file_;
  // Why there is no report in hand, for the signature step's refusal.
  std::string no_report_ = "no report has been named by an \"A\" request";
  bool file_failure_ = false;
};

}  // namespace veritor
