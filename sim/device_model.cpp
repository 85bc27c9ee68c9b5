#include "sim/device_model.h"

#include <cstdio>

#include "crypto/base64.h"
#include "crypto/sha1.h"

namespace veritor::sim {

namespace {

constexpr const char* kSeparator = "------------------------------";

std::string Format(const char* format, auto... values) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, format, values...);
  if (length < 0) return {};
  return std::string(text, static_cast<size_t>(length) < sizeof text ? length : sizeof text - 1);
}

std::string HexDigest(Sha1Context& context) {
  uint8_t digest[20];
  Sha1Final(digest, context);
  std::string hex;
  for (uint8_t byte : digest) hex += Format("%02X", byte);
  return hex;
}

void Sha1Add(Sha1Context& context, const std::string& bytes) {
  Sha1Update(context, reinterpret_cast<const uint8_t*>(bytes.data()),
             static_cast<uint32_t>(bytes.size()));
}

// The pieces of a request between its "/" separators.
std::vector<std::string> SplitFields(const std::string& request) {
  std::vector<std::string> fields(1);
  for (char c : request) {
    if (c == '/') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A decimal field of one to three digits.
std::optional<unsigned> ParseSmallNumber(const std::string& field) {
  if (field.empty() || field.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> ParseHexBytes(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A decimal field of one to `digits` digits no larger than `max`.
std::optional<uint64_t> ParseDecimal(const std::string& field, size_t digits, uint64_t max) {
  if (field.empty() || field.size() > digits) return std::nullopt;
  uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

}  // namespace

std::string ReportFingerprint(const std::vector<ReportLine>& lines) {
  Sha1Context context;
  Sha1Init(context);
  for (const ReportLine& line : lines) {
    if (line.kind != '0') continue;
    Sha1Add(context, line.text);
    Sha1Add(context, "\r\n");
  }
  return HexDigest(context);
}

std::string EchoPayload(uint32_t n, size_t length) {
  constexpr unsigned kPrintable = 0x7F - 0x20;
  // splitmix64, seeded by n: the same characters for the same n everywhere.
  uint64_t state = n;
  std::string payload(length, ' ');
  for (char& c : payload) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    c = static_cast<char>(0x20 + z % kPrintable);
  }
  return payload;
}

std::string DeviceModel::Handle(const std::string& request) {
  if (keep_history_) request_log_.push_back(request);
  if (canned_.empty()) return Execute(request);
  const CannedReply reply = canned_.front();
  canned_.pop_front();
  return reply.error ? Status(*reply.error) : reply.text;
}

void DeviceModel::AnswerBusy(unsigned times) { ForceError(kErrBusy, times); }

void DeviceModel::AnswerPrinterOffline(unsigned times) { ForceError(kErrPrinterOffline, times); }

void DeviceModel::ForceError(uint8_t code, unsigned times) {
  for (unsigned i = 0; i < times; ++i) canned_.push_back({code, {}});
}

void DeviceModel::ForceReply(const std::string& reply, unsigned times) {
  for (unsigned i = 0; i < times; ++i) canned_.push_back({std::nullopt, reply});
}

std::string DeviceModel::Execute(const std::string& request) {
  if (request == "v") return Ok(kDeviceInfo);
  if (request == "?") return Status(kErrOk);
  if (request == "x/2" || request == "x/5") return IssueZ(request);
  switch (request.empty() ? '\0' : request[0]) {
    case 'A': return NameReport();
    case 'Q': return NextReportLine();
    case '{': return OpenBlock(request);
    case '@': return AddText(request);
    case '&': return AddBase64(request);
    case '}': return request == "}" ? FinishBlock() : Status(kErrFieldCheck);
    case '$': return StoreBitmapRow(request);
    case '~': return Echo(request);
    default: return Status(kErrBadRequest);
  }
}

std::string DeviceModel::Status(uint8_t error) const {
  const uint8_t device = error == kErrBusy ? kDeviceBusy : 0;
  const uint8_t function = static_cast<uint8_t>((day_open_ ? kFunctionDayOpen : 0) |
                                                (block_ ? kFunctionSigning : 0));
  return Format("%02X/%02X/%02X", error, device, function);
}

std::string DeviceModel::Ok(const std::string& data) const { return Status(kErrOk) + "/" + data; }

// --- Z report -------------------------------------------------------------

std::string DeviceModel::ReportName() const {
  return report_name_.empty() ? Format("Z%04u", z_count_ + 1) : report_name_;
}

std::vector<ReportLine> DeviceModel::DailyReport() const {
  std::vector<ReportLine> lines = {
      {'1', std::string("VERITOR-SIM  SN 000001")},
      {'2', kSeparator},
      {'0', "Z REPORT        " + ReportName()},
      {'0', Format("SIGNATURES      %u", day_signatures_)},
      {'0', Format("BYTES SIGNED    %llu", static_cast<unsigned long long>(day_bytes_))},
      {'0', Format("LAST SIGNATURE  %04u", signature_count_)},
      {'2', kSeparator},
  };
  lines.push_back({'1', "SHA1 " + ReportFingerprint(lines)});
  return lines;
}

void DeviceModel::GenerateReportLines(size_t count) {
  std::vector<ReportLine> lines = {{'1', std::string("VERITOR-SIM  SN 000001")}, {'2', kSeparator}};
  for (size_t i = 1; i <= count; ++i) {
    lines.push_back({'0', Format("LINE %06zu  RECORD %08zX", i, i * 2654435761u)});
  }
  lines.push_back({'2', kSeparator});
  lines.push_back({'1', "SHA1 " + ReportFingerprint(lines)});
  custom_report_ = std::move(lines);
}

std::vector<ReportLine> DeviceModel::CurrentReport() const {
  return custom_report_ ? *custom_report_ : DailyReport();
}

std::string DeviceModel::NameReport() {
  report_in_reading_ = CurrentReport();
  report_cursor_ = 0;
  report_started_ = true;
  return Ok("001/" + ReportName());
}

// After the kind 3 answer the reading is over; the next "Q" starts the
// report again from its first line.
std::string DeviceModel::NextReportLine() {
  if (!report_started_) NameReport();
  if (report_cursor_ >= report_in_reading_.size()) {
    report_started_ = false;
    return Ok("3/");
  }
  const ReportLine& line = report_in_reading_[report_cursor_++];
  return Ok(std::string(1, line.kind) + "/" + line.text);
}

std::string DeviceModel::IssueZ(const std::string& request) {
  if (block_) return Status(kErrInProgress);
  if (request == "x/2" && zero_z_alert_ && day_signatures_ == 0) return Status(kErrZeroZAlert);
  ++z_count_;
  day_open_ = false;
  day_signatures_ = 0;
  day_bytes_ = 0;
  report_started_ = false;
  return Ok(Format("%04u", z_count_));
}

// --- Signature blocks -------------------------------------------------------

std::string DeviceModel::OpenBlock(const std::string& request) {
  if (request != "{/0") return Status(request == "{" ? kErrNumFields : kErrFieldCheck);
  if (block_) return Status(kErrInProgress);
  // Not emplace(): clang 14 decides too early that Block, whose member has a
  // default initialiser, cannot be built from nothing.
  block_ = Block{};
  Sha1Init(block_->digest);
  day_open_ = true;
  return Status(kErrOk);
}

std::string DeviceModel::AddText(const std::string& request) {
  if (!block_) return Status(kErrNotOpen);
  if (!StartsWith(request, "@/")) return Status(kErrNumFields);
  AddToBlock(request.substr(2));
  return Status(kErrOk);
}

std::string DeviceModel::AddBase64(const std::string& request) {
  if (!block_) return Status(kErrNotOpen);
  if (!StartsWith(request, "&/")) return Status(kErrNumFields);
  const std::optional<std::string> bytes = Base64Decode(std::string_view(request).substr(2));
  if (!bytes) return Status(kErrSignData);
  AddToBlock(*bytes);
  return Status(kErrOk);
}

void DeviceModel::AddToBlock(const std::string& bytes) {
  Sha1Add(block_->digest, bytes);
  block_->length += bytes.size();
}

std::string DeviceModel::FinishBlock() {
  if (!block_) return Status(kErrNotOpen);
  if (block_->length == 0) {
    block_.reset();
    return Status(kErrNoData);
  }
  const std::string signature = HexDigest(block_->digest);
  day_bytes_ += block_->length;
  block_.reset();
  ++day_signatures_;
  ++signature_count_;
  return Ok(signature + Format("/%04u", signature_count_));
}

// --- Bitmaps ------------------------------------------------------------------

// "$/slot/width/height/row/hex/": slot 0 to 7, width and height 1 to 256, row
// 1 to height, and exactly (width + 7) / 8 bytes in hex.
std::string DeviceModel::StoreBitmapRow(const std::string& request) {
  const std::vector<std::string> fields = SplitFields(request);
  if (fields.size() != 7 || fields[0] != "$" || !fields[6].empty()) return Status(kErrFieldCheck);
  const auto slot = ParseSmallNumber(fields[1]);
  const auto width = ParseSmallNumber(fields[2]);
  const auto height = ParseSmallNumber(fields[3]);
  const auto row = ParseSmallNumber(fields[4]);
  const auto bytes = ParseHexBytes(fields[5]);
  const bool valid = slot && width && height && row && bytes && *slot <= 7 && *width >= 1 &&
                     *width <= 256 && *height >= 1 && *height <= 256 && *row >= 1 &&
                     *row <= *height && bytes->size() == (*width + 7) / 8;
  if (!valid) return Status(kErrFieldCheck);
  if (keep_history_) bitmap_rows_.push_back({*slot, *width, *height, *row, *bytes});
  return Status(kErrOk);
}

// --- Echo -----------------------------------------------------------------------

std::string DeviceModel::Echo(const std::string& request) {
  const std::vector<std::string> fields = SplitFields(request);
  if (fields.size() != 3 || fields[0] != "~") return Status(kErrFieldCheck);
  const auto n = ParseDecimal(fields[1], 10, UINT32_MAX);
  const auto length = ParseDecimal(fields[2], 6, kMaxEchoLength);
  if (!n || !length) return Status(kErrFieldCheck);
  return Ok(fields[1] + "/" + EchoPayload(static_cast<uint32_t>(*n), static_cast<size_t>(*length)));
}

}  // namespace veritor::sim
