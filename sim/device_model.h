#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "crypto/sha1.h"

namespace veritor::sim {

// Error codes the simulated device answers with (first status pair).
enum DeviceError : uint8_t {
  kErrOk = 0x00,
  kErrNumFields = 0x01,
  kErrFieldCheck = 0x05,
  kErrBadRequest = 0x06,
  kErrBusy = 0x0E,
  kErrInProgress = 0x10,
  kErrNotOpen = 0x11,
  kErrSignData = 0x12,
  kErrPrinterOffline = 0x1A,
  kErrNoData = 0x1E,
  kErrZeroZAlert = 0x80,
};

// Function status bits (third status pair).
inline constexpr uint8_t kFunctionDayOpen = 0x02;
inline constexpr uint8_t kFunctionSigning = 0x04;
// Device status bit (second status pair) shown with a BUSY answer.
inline constexpr uint8_t kDeviceBusy = 0x01;

// One line of a Z report as the "Q" request hands it out. Kind 0 lines are
// the report's body; kinds 1 (header) and 2 (separator) are printed only;
// kind 3 ends the report and is added by the device.
struct ReportLine {
  char kind = '0';
  std::string text;
};

// A bitmap row as the device stored it from a "$" request.
struct BitmapRow {
  unsigned slot = 0;
  unsigned width = 0;
  unsigned height = 0;
  unsigned row = 0;
  std::string bytes;  // (width + 7) / 8 decoded bytes
};

// The 40 upper-case hex digits of the SHA-1 of the report's body as the
// console stores it: every kind 0 line followed by CR LF.
std::string ReportFingerprint(const std::vector<ReportLine>& lines);

// The most characters a "~" request asks for.
inline constexpr size_t kMaxEchoLength = 100000;

// The `length` printable characters (0x20 to 0x7E) that "~/<n>/<length>"
// answers with, the same for the same n on every run, so that whoever sent
// the request knows the reply to the byte.
std::string EchoPayload(uint32_t n, size_t length);

// The simulated fiscal signature device: takes a request frame text and
// returns the reply frame text "EE/DD/FF" or "EE/DD/FF/data".
//
// Days: the day opens with the first signature block after a Z report and
// closes with "x/2" or "x/5", which issue the next Z report. With the zero-Z
// alert switched on, "x/2" on a day without signatures answers 0x80 and issues
// nothing; "x/5" always issues. A Z report while a block is open answers
// INPROGRESS.
// Signing: "}" on an empty block answers NODATA and discards the block, so
// the device never stays stuck with a block nothing can finish.
//
// Reply data: "v" the device information; "A" "001/<report name>"; "Q"
// "<kind>/<line text>", one line per request, then "3/" (the next "Q" starts
// the report over); "x/2", "x/5" the new Z number "%04u"; "}" the 40 hex
// digits of the SHA-1 of the block's bytes and the running signature number,
// "<hex>/%04u". The report is fixed when "A" names it. "~/<n>/<length>"
// (n up to 4294967295, length up to kMaxEchoLength) changes nothing and
// answers "<n>/" and EchoPayload(n, length).
class DeviceModel {
 public:
  static constexpr const char* kDeviceInfo = "VERITOR-SIM/2.24/SN 000001";

  std::string Handle(const std::string& request);

  // --- Faults, consumed in order by the next requests, which are then not
  // carried out. BUSY and PRINTEROFFLINE answers queue like the others.
  void AnswerBusy(unsigned times);
  void AnswerPrinterOffline(unsigned times);
  void ForceError(uint8_t code, unsigned times = 1);
  // The exact reply text, of any length and with any bytes (NUL included).
  void ForceReply(const std::string& reply, unsigned times = 1);
  size_t PendingFaults() const { return canned_.size(); }

  // --- Z report.
  // Overrides the automatic name "Z%04u" of the next report ("" restores it).
  void SetReportName(const std::string& name) { report_name_ = name; }
  // Replaces the report's lines (used as given, kind 3 is added).
  void SetReportLines(std::vector<ReportLine> lines) { custom_report_ = std::move(lines); }
  // A report of a header, `count` numbered body lines and the fingerprint.
  void GenerateReportLines(size_t count);
  // Back to the report built from the day's figures.
  void UseDailyReport() { custom_report_.reset(); }
  // The lines the next "A" hands out.
  std::vector<ReportLine> CurrentReport() const;
  void SetZeroZAlert(bool on) { zero_z_alert_ = on; }

  // The request log and the bitmap rows grow with every request; a
  // long-running device switches them off.
  void KeepHistory(bool on) { keep_history_ = on; }

  // --- State, for tests.
  unsigned ZCount() const { return z_count_; }
  bool DayOpen() const { return day_open_; }
  bool BlockOpen() const { return block_.has_value(); }
  unsigned SignatureCount() const { return signature_count_; }
  const std::vector<std::string>& RequestLog() const { return request_log_; }
  const std::vector<BitmapRow>& BitmapRows() const { return bitmap_rows_; }

 private:
  // An open signature block: the digest runs as data arrives, so a long
  // block costs no memory.
  struct Block {
    Sha1Context digest;
    uint64_t length = 0;
  };

  struct CannedReply {
    std::optional<uint8_t> error;  // an error answer with the current status
    std::string text;              // otherwise this exact text
  };

  std::string Execute(const std::string& request);
  std::string Status(uint8_t error) const;
  std::string Ok(const std::string& data) const;
  std::string ReportName() const;
  std::string NameReport();
  std::string NextReportLine();
  std::string IssueZ(const std::string& request);
  std::string OpenBlock(const std::string& request);
  std::string AddText(const std::string& request);
  std::string AddBase64(const std::string& request);
  void AddToBlock(const std::string& bytes);
  std::string FinishBlock();
  std::string StoreBitmapRow(const std::string& request);
  std::string Echo(const std::string& request);
  std::vector<ReportLine> DailyReport() const;

  std::deque<CannedReply> canned_;
  std::vector<std::string> request_log_;
  std::vector<BitmapRow> bitmap_rows_;
  bool keep_history_ = true;

  unsigned z_count_ = 0;
  bool day_open_ = false;
  bool zero_z_alert_ = false;
  unsigned day_signatures_ = 0;
  uint64_t day_bytes_ = 0;
  unsigned signature_count_ = 0;
  std::optional<Block> block_;

  std::string report_name_;
  std::optional<std::vector<ReportLine>> custom_report_;
  std::vector<ReportLine> report_in_reading_;
  size_t report_cursor_ = 0;
  bool report_started_ = false;
};

}  // namespace veritor::sim
