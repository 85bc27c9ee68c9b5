#include "core/bitmap.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace veritor {

namespace {

// The file header and the information header, read in one piece.
constexpr size_t kBmpHeaderSize = 54;
constexpr size_t kPixelOffsetField = 10;
constexpr size_t kWidthField = 18;
constexpr size_t kHeightField = 22;
constexpr size_t kBitsPerPixelField = 28;

// The refusals' body: "Error" with a Greek capital epsilon for its first letter.
const char* const kErrorBody = "\xCE\x95rror";

using BmpHeader = std::array<uint8_t, kBmpHeaderSize>;

uint32_t LittleEndian(const BmpHeader& header, size_t offset, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | header[offset + i];
  return value;
}

// Stored rows are padded to whole 32-bit words.
size_t StoredRowLength(unsigned width) { return (static_cast<size_t>(width) + 31) / 32 * 4; }
size_t SentRowLength(unsigned width) { return (static_cast<size_t>(width) + 7) / 8; }

// The refusal's detailed message, or nothing when the header describes a
// bitmap the device takes. Width and height are compared as unsigned numbers,
// so a top-down file (negative height) is refused.
const char* HeaderProblem(const BmpHeader& header) {
  if (LittleEndian(header, kBitsPerPixelField, 2) != 1) return "Format error: BMP file must be back & white format";
  const uint32_t width = LittleEndian(header, kWidthField, 4);
  if (width == 0 || width > kMaxBitmapSide) return "Format error: BMP file width must be in range 1-256";
  const uint32_t height = LittleEndian(header, kHeightField, 4);
  if (height == 0 || height > kMaxBitmapSide) return "Format error: BMP file height must be in range 1-256";
  return nullptr;
}

// The pixel data of a checked header, rows turned top-down and cut to the
// bytes that are sent; nothing when the file holds less than the header says.
std::optional<MonochromeBitmap> ReadRows(std::FILE* file, const BmpHeader& header) {
  const auto width = static_cast<unsigned>(LittleEndian(header, kWidthField, 4));
  const size_t height = LittleEndian(header, kHeightField, 4);
  const uint32_t offset = LittleEndian(header, kPixelOffsetField, 4);
  const size_t stored = StoredRowLength(width);
  std::string pixels(stored * height, '\0');
  if (offset > static_cast<uint32_t>(INT32_MAX) || std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0)
    return std::nullopt;
  if (std::fread(pixels.data(), 1, pixels.size(), file) != pixels.size()) return std::nullopt;
  MonochromeBitmap bitmap{width, {}};
  for (size_t row = height; row-- > 0;) bitmap.rows.push_back(pixels.substr(row * stored, SentRowLength(width)));
  return bitmap;
}

std::string RowRequest(unsigned slot, const MonochromeBitmap& bitmap, size_t row) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  char fields[64];
  std::snprintf(fields, sizeof fields, "$/%u/%u/%u/%u/", slot, bitmap.width, static_cast<unsigned>(bitmap.rows.size()),
                static_cast<unsigned>(row + 1));
  std::string request = fields;
  for (char c : bitmap.rows[row]) {
    const auto byte = static_cast<unsigned char>(c);
    request += kHexDigits[byte >> 4];
    request += kHexDigits[byte & 0x0F];
  }
  request += '/';
  return request;
}

// Row `row` got no reply: the rows before it reached the slot (less those
// refused), the one without a reply perhaps.
void LogUploadBrokenOff(MessageLog& log, unsigned slot, unsigned row, unsigned rows, unsigned refused) {
  if (row == 1) {
    log.LogMessage("Upload broken off in row 1 of %u, which got no reply: slot %u may hold what it held before",
                   rows, slot);
    return;
  }
  log.LogMessage("Upload broken off in row %u of %u, which got no reply: slot %u holds the first %u row(s) of this "
                 "bitmap%s, the rest is what it held before",
                 row, rows, slot, row - 1, refused != 0 ? " (less the rows refused)" : "");
}

ActionOutcome Refuse(Host& host, const char* message) {
  host.prompts.MessageBox(message, kErrorBody);
  return ActionOutcome::kRefused;
}

}  // namespace

ActionOutcome UploadBitmapFile(Host& host, CommandExecutor& executor, const std::string& path, bool verbose) {
  if (host.state.TransactionInProgress) return ActionOutcome::kIgnored;
  if (path.empty()) {
    host.prompts.ErrorBox("No filename specified");
    return ActionOutcome::kRefused;
  }
  return LoadMonochromeBitmap(host, executor, kUploadSlot, path, verbose);
}

ActionOutcome LoadMonochromeBitmap(Host& host, CommandExecutor& executor, unsigned slot, const std::string& path,
                                   bool verbose) {
  if (slot > kMaxBitmapSlot) {
    host.prompts.MessageBox("<bitmapno> must be an integer number ranged 0 - 7\n", "Parameter error:");
    return ActionOutcome::kRefused;
  }
  std::optional<MonochromeBitmap> bitmap;
  {
    const FileHandle file = OpenForReading(host.log, path);
    if (!file) return Refuse(host, "File error: Could not open image file");
    BmpHeader header{};
    if (std::fread(header.data(), 1, header.size(), file.get()) != header.size())
      return Refuse(host, "File error: Could not read bitmap header");
    if (const char* problem = HeaderProblem(header)) return Refuse(host, problem);
    bitmap = ReadRows(file.get(), header);
    if (!bitmap) return Refuse(host, "File error: Could not load image data");
  }
  return SendBitmapRows(host, executor, slot, *bitmap, verbose);
}

ActionOutcome SendBitmapRows(Host& host, CommandExecutor& executor, unsigned slot, const MonochromeBitmap& bitmap,
                             bool verbose) {
  std::string data;
  unsigned refused = 0;
  const size_t rows = bitmap.rows.size();
  for (size_t row = 0; row < rows; ++row) {
    if (executor.ExecuteCommand(RowRequest(slot, bitmap, row), data, verbose) != kResultOk) {
      LogUploadBrokenOff(host.log, slot, static_cast<unsigned>(row + 1), static_cast<unsigned>(rows), refused);
      return ActionOutcome::kLinkFailure;
    }
    if (executor.ReplyErrorCode() != 0) ++refused;
    host.ReportProgress({.unit = "rows", .done = row + 1, .total = rows});
    if (host.StopRequested() && row + 1 < rows) {
      host.log.LogMessage("Upload stopped after row %u of %u", static_cast<unsigned>(row + 1),
                          static_cast<unsigned>(rows));
      return ActionOutcome::kStopped;
    }
  }
  if (refused == 0) return ActionOutcome::kAnswered;
  host.log.LogMessage("%u of %u row(s) were refused by the device: slot %u does not hold the whole bitmap", refused,
                      static_cast<unsigned>(rows), slot);
  return ActionOutcome::kDeviceError;
}

}  // namespace veritor
