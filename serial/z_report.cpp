#include "serial/z_report.h"

#include <cerrno>
#include <cstring>

#include "core/command.h"
#include "core/results.h"
#include "crypto/sha1.h"

namespace veritor {

namespace {

constexpr size_t kReportNamePosition = 13;
constexpr size_t kLineKindPosition = 9;
constexpr size_t kLineTextPosition = 11;

constexpr size_t kStatusPartLength = 9;
constexpr int kBusyCode = 0x0E;
constexpr int kPrinterOfflineCode = 0x1A;
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

int ErrorCodeOf(const std::string& reply) { return reply.size() < 2 ? -1 : ParseHexByte(reply[0], reply[1]); }

// The device is asked again after BUSY and PRINTEROFFLINE: such a reply is
// no part of the report. A device with a warning to give (ZERO_Z_ALERT, for
// one) sends its report data with that code, and the data counts.
bool AskedAgain(const std::string& reply) {
  const int code = ErrorCodeOf(reply);
  return code == kBusyCode || code == kPrinterOfflineCode;
}

bool CarriesNoData(const std::string& reply) {
  return ErrorCodeOf(reply) != 0 && reply.size() <= kStatusPartLength;
}

}  // namespace

ZReportFiles::ZReportFiles(MessageLog& log, Prompts& prompts, std::string output_directory)
    : log_(log),
      prompts_(prompts),
      output_directory_(std::move(output_directory)),
      page_(*CodePage::Find(kDefaultCodePage)) {}

bool ZReportFiles::CloseAFile() {
  if (!a_file_.IsOpen()) return true;
  std::string error;
  if (a_file_.Commit(error)) return true;
  LoseReport("its A file '" + a_file_path_ + "' could not be completed", error);
  return false;
}

// The name comes from the device and becomes part of a path: it must name a
// file inside the output folder and nothing else.
bool ZReportFiles::ReportNameIsSafe(const std::string& name) const {
  if (name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

void ZReportFiles::ForgetReport(std::string why) {
  a_file_.Discard();
  report_name_.clear();
  a_file_path_.clear();
  b_file_path_.clear();
  confirmed_ = false;
  lines_ = 0;
  no_report_ = std::move(why);
}

void ZReportFiles::ReportRequested() {
  if (a_file_.IsOpen())
    log_.LogMessage("Report '%s' was not read to its end (%u line(s)); its A file is not written",
                    report_name_.c_str(), lines_);
  ForgetReport("no reply to the last \"A\" has named a report");
}

void ZReportFiles::DropReport(std::string why) {
  ForgetReport(std::move(why));
  file_failure_ = true;
  prompts_.MessageBox("Error", "Error creating '_a.txt' file");
}

void ZReportFiles::LoseReport(const std::string& what, const std::string& error) {
  const std::string name = report_name_;
  log_.LogMessage("Report '%s' lost: %s: %s; no B file is written and its Z request is not sent", name.c_str(),
                  what.c_str(), error.c_str());
  ForgetReport("report '" + name + "' was lost: " + what);
  file_failure_ = true;
  prompts_.MessageBox("Error", "Error writing '_a.txt' file");
}

void ZReportFiles::AStep(const std::string& reply) {
  if (AskedAgain(reply)) return;
  ForgetReport(no_report_);
  if (reply.size() <= kReportNamePosition) {
    log_.LogMessage("The reply to \"A\" names no report; no A file written");
    DropReport("the last reply to \"A\" named no report");
    return;
  }
  const std::string bytes = reply.substr(kReportNamePosition);
  // File names are UTF-8: the name's characters in the device's code page.
  const std::string name = page_.ToUtf8(bytes);
  if (!ReportNameIsSafe(bytes)) {
    log_.LogMessage("Report name '%s' refused: it would lead outside %s", bytes.c_str(), output_directory_.c_str());
    DropReport("the report name of the last reply to \"A\" was refused");
    return;
  }
  if (name.find(kReplacementCharacter) != std::string::npos) {
    log_.LogMessage("Report name '%s' refused: it holds a byte that code page %u leaves undefined", bytes.c_str(),
                    page_.number());
    DropReport("the report name of the last reply to \"A\" was refused");
    return;
  }
  const std::string a_file_path = output_directory_ + name + "_a.txt";
  prompts_.MessageBox("", a_file_path);
  if (std::string error; !a_file_.Create(a_file_path, error)) {
    log_.LogMessage("Cannot create the A file '%s': %s", a_file_path.c_str(), error.c_str());
    DropReport("the A file of report '" + name + "' could not be created");
    return;
  }
  report_name_ = name;
  a_file_path_ = a_file_path;
  b_file_path_ = output_directory_ + name + "_b.txt";
}

void ZReportFiles::AppendLine(const std::string& line) {
  if (!a_file_.IsOpen()) {
    if (confirmed_) log_.LogMessage("Report '%s' is confirmed: line not added to it", report_name_.c_str());
    return;
  }
  // One write for the line and its CR LF: it reaches the file whole or fails.
  std::string error;
  if (!a_file_.Write(line + "\r\n", error)) LoseReport("line " + std::to_string(lines_ + 1) + " was not written", error);
  else ++lines_;
}

// The log shows a text up to its first NUL; the A file holds the same.
std::string ZReportFiles::LineText(const std::string& reply) {
  std::string line = reply.size() > kLineTextPosition ? reply.substr(kLineTextPosition) : std::string();
  const size_t nul = line.find('\0');
  if (nul == std::string::npos) return line;
  log_.LogMessage("Report line holds a NUL byte: written up to it (%u of %u bytes)", static_cast<unsigned>(nul),
                  static_cast<unsigned>(line.size()));
  line.resize(nul);
  return line;
}

void ZReportFiles::QStep(std::string& reply) {
  if (reply.size() >= kMaxQReply) reply.resize(kMaxQReply);
  if (AskedAgain(reply) || CarriesNoData(reply)) return;
  const char kind = reply.size() > kLineKindPosition ? reply[kLineKindPosition] : '\0';
  switch (kind) {
    case '1':
    case '2':
      break;
    case '3':
      CloseAFile();
      break;
    default:
      AppendLine(LineText(reply));
  }
}

void ZReportFiles::SignatureRequestEnded(const std::string& request, int result, const std::string& reply) {
  // After No to "x/2" the executor sends "x/5" at once; after BUSY it sends
  // the request again.
  const bool rejected_x2 = result == kResultSignatureRejected && request.size() >= 3 && request[2] == '2';
  const bool busy = result == kResultOk && AskedAgain(reply);
  if (!rejected_x2 && !busy) answers_.clear();
}

int ZReportFiles::SignatureStep(const std::string& request) {
  if (const auto answered = answers_.find(request); answered != answers_.end())
    return answered->second ? kResultOk : kResultSignatureRejected;
  if (b_file_path_.empty()) {
    log_.LogMessage("Cannot create the B file: %s; request not sent", no_report_.c_str());
    prompts_.MessageBox("Error", "Error creating '_b.txt' file");
    return kResultNoReport;
  }
  // The report ends here if its line of kind 3 has not come: what was read
  // is the report the operator confirms.
  if (!CloseAFile()) return kResultNoReport;
  char signature[41];
  const int fingerprint = FileFingerprint(a_file_path_.c_str(), signature);
  if (fingerprint != kFingerprintOk) {
    log_.LogMessage("Cannot read the A file '%s' (%s); no signature written, request not sent", a_file_path_.c_str(),
                    fingerprint == kFingerprintCannotOpen ? "cannot open" : "read error");
    prompts_.MessageBox("Error", "Error reading '_a.txt' file");
    return kResultFingerprintFailed;
  }
  if (std::string error; !WriteWholeFile(b_file_path_, signature, error)) {
    log_.LogMessage("Cannot write the B file '%s': %s; request not sent", b_file_path_.c_str(), error.c_str());
    prompts_.MessageBox("Error", "Error creating '_b.txt' file");
    return kResultBFileFailed;
  }
  const std::string question = std::string("Calculated signature: ") + signature +
                               " \r\n\r\n Is this signature identical with the one in Zreport?";
  const bool yes = prompts_.AskYesNo("", question);
  answers_[request] = yes;
  if (yes) confirmed_ = true;
  return yes ? kResultOk : kResultSignatureRejected;
}

}  // namespace veritor
