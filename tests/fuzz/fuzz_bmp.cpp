// Bitmap upload of any file: the input is the file; the device answers every
// row with "00/00/00". A file is either refused, with nothing sent, or sent
// row by row exactly as its header and pixel data say.

#include <optional>

#include "core/bitmap.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {
namespace {

uint32_t Field(const std::string& file, size_t offset, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<uint8_t>(file[offset + i]);
  return value;
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (char c : bytes) {
    hex += kDigits[static_cast<uint8_t>(c) >> 4];
    hex += kDigits[static_cast<uint8_t>(c) & 0x0F];
  }
  return hex;
}

// The requests a 1-bit BMP of at most 256 x 256 pixels whose pixel data is
// all in the file makes, top row first; nothing for any other file.
std::optional<std::vector<std::string>> ExpectedRequests(const std::string& file) {
  if (file.size() < 54 || Field(file, 28, 2) != 1) return std::nullopt;
  const uint32_t width = Field(file, 18, 4), height = Field(file, 22, 4), offset = Field(file, 10, 4);
  if (width == 0 || width > 256 || height == 0 || height > 256) return std::nullopt;
  const size_t stored = (width + 31) / 32 * 4;
  if (offset > file.size() || file.size() - offset < stored * height) return std::nullopt;
  std::vector<std::string> requests;
  for (uint32_t row = 0; row < height; ++row) {
    const size_t from = offset + (height - 1 - row) * stored;
    requests.push_back("$/1/" + std::to_string(width) + "/" + std::to_string(height) + "/" + std::to_string(row + 1) +
                       "/" + Hex(std::string_view(file).substr(from, (width + 7) / 8)) + "/");
  }
  return requests;
}

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const InputFile input_file(file);
  FuzzHost fuzz;
  ScriptedLink link;
  CommandExecutor executor(fuzz.host, link);

  const ActionOutcome outcome = LoadMonochromeBitmap(fuzz.host, executor, kUploadSlot, input_file.path(), false);
  if (const auto expected = ExpectedRequests(file)) {
    FUZZ_CHECK(outcome == ActionOutcome::kAnswered);
    FUZZ_CHECK(link.requests == *expected);
  } else {
    FUZZ_CHECK(outcome == ActionOutcome::kRefused);
    FUZZ_CHECK(link.requests.empty());
    FUZZ_CHECK(fuzz.prompts.boxes.size() == 1);
  }
  return 0;
}
