#include "serial/z_report.h"

#include <cerrno>
#include <cstring>

#include "core/results.h"
#include "crypto/sha1.h"

namespace veritor {

namespace {

constexpr size_t kReportNamePosition = 13;
constexpr size_t kLineKindPosition = 9;
constexpr size_t kLineTextPosition = 11;

std::string ErrnoText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

// Only a reply with error code 00 carries report data. A BUSY answer, after
// which the request is asked again, or a device error, carries none.
bool CarriesReportData(const std::string& reply) { return reply.compare(0, 3, "00/") == 0; }

}  // namespace

ZReportFiles::ZReportFiles(MessageLog& log, Prompts& prompts, std::string output_directory)
    : log_(log), prompts_(prompts), output_directory_(std::move(output_directory)) {}

void ZReportFiles::CloseAFile() {
  if (a_file_ && std::fclose(a_file_.release()) != 0)
    log_.LogMessage("Closing the A file '%s' failed: %s", a_file_path_.c_str(), ErrnoText(errno).c_str());
}

// The name comes from the device and becomes part of a path: it must name a
// file inside the output folder and nothing else.
bool ZReportFiles::ReportNameIsSafe(const std::string& name) const {
  if (name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

void ZReportFiles::AStep(const std::string& reply) {
  if (!CarriesReportData(reply)) return;
  CloseAFile();
  const std::string name = reply.size() > kReportNamePosition ? reply.substr(kReportNamePosition) : std::string();
  if (!ReportNameIsSafe(name)) {
    report_name_.clear();
    a_file_path_.clear();
    b_file_path_.clear();
    log_.LogMessage("Report name '%s' refused: it would lead outside %s", name.c_str(), output_directory_.c_str());
    prompts_.MessageBox("Error", "Error creating '_a.txt' file");
    return;
  }
  report_name_ = name;
  a_file_path_ = output_directory_ + name + "_a.txt";
  b_file_path_ = output_directory_ + name + "_b.txt";
  prompts_.MessageBox("", a_file_path_);
  a_file_.reset(std::fopen(a_file_path_.c_str(), "wb"));
  if (!a_file_) {
    log_.LogMessage("Cannot create the A file '%s': %s", a_file_path_.c_str(), ErrnoText(errno).c_str());
    prompts_.MessageBox("Error", "Error creating '_a.txt' file");
  }
}

void ZReportFiles::AppendLine(const std::string& line) {
  if (!a_file_) return;
  const bool written = std::fwrite(line.data(), 1, line.size(), a_file_.get()) == line.size() &&
                       std::fwrite("\r\n", 1, 2, a_file_.get()) == 2;
  if (!written)
    log_.LogMessage("Writing to the A file '%s' failed: %s", a_file_path_.c_str(), ErrnoText(errno).c_str());
}

void ZReportFiles::QStep(std::string& reply) {
  if (reply.size() >= kMaxQReply) reply.resize(kMaxQReply);
  if (!CarriesReportData(reply)) return;
  const char kind = reply.size() > kLineKindPosition ? reply[kLineKindPosition] : '\0';
  switch (kind) {
    case '1':
    case '2':
      break;
    case '3':
      CloseAFile();
      break;
    default:
      AppendLine(reply.size() > kLineTextPosition ? reply.substr(kLineTextPosition) : std::string());
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
    log_.LogMessage("Cannot create the B file: no report has been named by an \"A\" request; request not sent");
    prompts_.MessageBox("Error", "Error creating '_b.txt' file");
    return kResultBFileFailed;
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
