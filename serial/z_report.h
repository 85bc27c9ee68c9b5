#pragma once

#include <map>
#include <string>
#include <utility>

#include "core/code_page.h"
#include "core/log.h"
#include "platform/output_file.h"
#include "platform/ui.h"

namespace veritor {

// The Z report's A file (the report's lines, as the device sends them in
// replies to "Q") and B file (the SHA-1 fingerprint of the A file), named
// after the report that the reply to "A" names, in one output folder.
//
// A report is whole or it is not confirmed: the A file is written under a
// temporary name and takes its name when the report is complete (the line of
// kind 3, or the Z request), so that an earlier report of that name keeps its
// pair of files until then. A line that cannot be written drops the report in
// hand. Files of the folder are written as regular files only.
class ZReportFiles {
 public:
  // A "Q" reply is cut to this many characters.
  static constexpr size_t kMaxQReply = 60;

  ZReportFiles(MessageLog& log, Prompts& prompts, std::string output_directory);

  // The device's code page: a report name's bytes from 0x80 up become the
  // UTF-8 of its characters in file names (1253 until set).
  void SetCodePage(const CodePage& page) { page_ = page; }

  // Before "x/2" or "x/5" (`request`) goes out: the fingerprint of the A file
  // goes into the B file and is put to the operator. kResultOk to send the
  // request, kResultSignatureRejected when the operator says No,
  // kResultNoReport when no report is in hand, kResultBFileFailed or
  // kResultFingerprintFailed when no signature could be produced. A request
  // that the device answered BUSY or PRINTEROFFLINE is asked again with the
  // answer given the first time: no new question, no new B file.
  int SignatureStep(const std::string& request = "x/2");
  // The transaction of a Z request ended with `result` and `reply`: unless the
  // device is to be asked again, the operator's answers are spent.
  void SignatureRequestEnded(const std::string& request, int result, const std::string& reply);
  // Any other request: the answers of the last Z request are spent.
  void ForgetAnswers() { answers_.clear(); }
  // An "A" request goes out: until its reply names the new report, there is
  // none in hand (a request without a reply must not leave the last one). A
  // report not read to its end is dropped.
  void ReportRequested();
  // The run ends: the same for a report not read to its end.
  void EndOfRun() { ReportRequested(); }
  // A good reply to "A": names the report and creates its A file. A reply
  // that names no report, or whose A file cannot be created, leaves no report
  // in hand, so that no later step touches an earlier report's files.
  void AStep(const std::string& reply);
  // A good reply to "Q": one line of the report. The reply may be cut.
  // BUSY and PRINTEROFFLINE replies, which are asked again, leave the files
  // alone; any other reply counts whatever its error code, unless it is a
  // device error with nothing after the status part. A confirmed report
  // takes no more lines.
  void QStep(std::string& reply);

  // True once after an A or Q step failed to write its file (the reply was
  // delivered all the same), so that a front end can say the run failed.
  bool TakeFileFailure() { return std::exchange(file_failure_, false); }

  // The name as the file names carry it (UTF-8).
  const std::string& ReportName() const { return report_name_; }
  const std::string& AFilePath() const { return a_file_path_; }
  const std::string& BFilePath() const { return b_file_path_; }
  // The report is being read: its lines go to the A file's temporary name.
  bool AFileIsOpen() const { return a_file_.IsOpen(); }
  // The report is complete: its A file takes its name. False when that failed
  // (the report is then dropped, with a log line).
  bool CloseAFile();

 private:
  bool ReportNameIsSafe(const std::string& name) const;
  void ForgetReport(std::string why);
  // The reply to "A" named no report it could store: said with a box.
  void DropReport(std::string why);
  // A line of the report was lost: the report in hand goes.
  void LoseReport(const std::string& what, const std::string& error);
  void AppendLine(const std::string& line);
  std::string LineText(const std::string& reply);

  MessageLog& log_;
  Prompts& prompts_;
  std::string output_directory_;
  CodePage page_;
  std::string report_name_;
  std::string a_file_path_;
  std::string b_file_path_;
  OutputFile a_file_;
  unsigned lines_ = 0;      // lines of the report written
  bool confirmed_ = false;  // its Z request went out after Yes
  // The operator's answers for the Z requests of one command, by request,
  // kept while the device is asked again.
  std::map<std::string, bool> answers_;
  // Why there is no report in hand, for the signature step's refusal.
  std::string no_report_ = "no report has been named by an \"A\" request";
  bool file_failure_ = false;
};

}  // namespace veritor
