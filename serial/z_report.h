#pragma once

#include <cstdio>
#include <memory>
#include <string>

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
  // kResultSignatureRejected when the operator says No, kResultBFileFailed or
  // kResultFingerprintFailed when no signature could be produced.
  int SignatureStep();
  // A good reply to "A": names the report and creates its A file.
  void AStep(const std::string& reply);
  // A good reply to "Q": one line of the report. The reply may be cut.
  // Replies with a device error (BUSY included) leave the files alone.
  void QStep(std::string& reply);

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
  void AppendLine(const std::string& line);
  int WriteSignature(const char* signature);

  MessageLog& log_;
  Prompts& prompts_;
  std::string output_directory_;
  std::string report_name_;
  std::string a_file_path_;
  std::string b_file_path_;
  File a_file_;
};

}  // namespace veritor
