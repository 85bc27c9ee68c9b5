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

std::string ErrnoText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

constexpr size_t kStatusPartLength = 9;
constexpr int kBusyCode = 0x0E;
constexpr int kPrinterOfflineCode = 0x1A;

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
    : log_(log), prompts_(prompts), output_directory_(std::move(output_directory)) {}

void ZReportFiles::CloseAFile() {
  if (a_file_ && std::fclose(a_file_.release()) != 0) {
    log_.LogMessage("Closing the A file '%s' failed: %s", a_file_path_.c_str(), ErrnoText(errno).c_str());
    file_failure_ = true;
  }
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
  report_name_.clear();
  a_file_path_.clear();
  b_file_path_.clear();
  no_report_ = std::move(why);
}

void ZReportFiles::ReportRequested() {
  CloseAFile();
  ForgetReport("no reply to the last \"A\" has named a report");
}

void ZReportFiles::DropReport(std::string why) {
  ForgetReport(std::move(why));
  file_failure_ = true;
  prompts_.MessageBox("Error", "Error creating '_a.txt' file");
}

void ZReportFiles::AStep(const std::string& reply) {
  if (AskedAgain(reply)) return;
  CloseAFile();
  if (reply.size() <= kReportNamePosition) {
    log_.LogMessage("The reply to \"A\" names no report; no A file written");
    DropReport("the last reply to \"A\" named no report");
    return;
  }
  const std::string name = reply.substr(kReportNamePosition);
  if (!ReportNameIsSafe(name)) {
    log_.LogMessage("Report name '%s' refused: it would lead outside %s", name.c_str(), output_directory_.c_str());
    DropReport("the report name of the last reply to \"A\" was refused");
    return;
  }
  const std::string a_file_path = output_directory_ + name + "_a.txt";
  prompts_.MessageBox("", a_file_path);
  a_file_.reset(std::fopen(a_file_path.c_str(), "wb"));
  if (!a_file_) {
    log_.LogMessage("Cannot create the A file '%s': %s", a_file_path.c_str(), ErrnoText(errno).c_str());
    DropReport("the A file of report '" + name + "' could not be created");
    return;
  }
  report_name_ = name;
  a_file_path_ = a_file_path;
  b_file_path_ = output_directory_ + name + "_b.txt";
}

void ZReportFiles::AppendLine(const std::string& line) {
  if (!a_file_) return;
  const bool written = std::fwrite(line.data(), 1, line.size(), a_file_.get()) == line.size() &&
                       std::fwrite("\r\n", 1, 2, a_file_.get()) == 2;
  if (!written) {
    log_.LogMessage("Writing to the A file '%s' failed: %s", a_file_path_.c_str(), ErrnoText(errno).c_str());
    file_failure_ = true;
  }
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

int ZReportFiles::WriteSignature(const char* signature) {
  File b_file(std::fopen(b_file_path_.c_str(), "wb"));
  if (!b_file) return errno != 0 ? errno : EIO;
  const size_t length = std::strlen(signature);
  const bool written = std::fwrite(signature, 1, length, b_file.get()) == length;
  if (std::fclose(b_file.release()) != 0 || !written) return errno != 0 ? errno : EIO;
  return 0;
}

int ZReportFiles::SignatureStep() {
  if (b_file_path_.empty()) {
    CloseAFile();
    log_.LogMessage("Cannot create the B file: %s; request not sent", no_report_.c_str());
    prompts_.MessageBox("Error", "Error creating '_b.txt' file");
    return kResultNoReport;
  }
  // Lines still in the stream's buffer belong to the report too.
  if (a_file_) std::fflush(a_file_.get());
  char signature[41];
  const int fingerprint = FileFingerprint(a_file_path_.c_str(), signature);
  if (fingerprint != kFingerprintOk) {
    log_.LogMessage("Cannot read the A file '%s' (%s); no signature written, request not sent", a_file_path_.c_str(),
                    fingerprint == kFingerprintCannotOpen ? "cannot open" : "read error");
    prompts_.MessageBox("Error", "Error reading '_a.txt' file");
    return kResultFingerprintFailed;
  }
  errno = 0;
  if (const int error = WriteSignature(signature)) {
    CloseAFile();
    log_.LogMessage("Cannot write the B file '%s': %s; request not sent", b_file_path_.c_str(),
                    ErrnoText(error).c_str());
    prompts_.MessageBox("Error", "Error creating '_b.txt' file");
    return kResultBFileFailed;
  }
  const std::string question = std::string("Calculated signature: ") + signature +
                               " \r\n\r\n Is this signature identical with the one in Zreport?";
  return prompts_.AskYesNo("", question) ? kResultOk : kResultSignatureRejected;
}

}  // namespace veritor
