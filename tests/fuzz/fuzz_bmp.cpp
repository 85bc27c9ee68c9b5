// Bitmap upload of any file: the input is the file; the device answers every
// row with "00/00/00". A file is either refused, with nothing sent, or sent
// row by row exactly as its header and pixel data say.

#include "core/bitmap.h"
#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {

uint32_t Field(const std::string& file, size_t offset, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<uint8_t>(file[offset + i]);
  return value;
}

// The requests a 1-bit BMP of at most 256 x 256 pixels whose pixel data is
// all in the file makes, top row first; none for any other file.
std::vector<std::string> ExpectedRequests(const std::string& file) {
  if (file.size() < 54 || Field(file, 28, 2) != 1) return {};
  const uint32_t width = Field(file, 18, 4), height = Field(file, 22, 4), offset = Field(file, 10, 4);
  if (width == 0 || width > 256 || height == 0 || height > 256) return {};
  const size_t stored = (width + 31) / 32 * 4;
  if (offset > file.size() || file.size() - offset < stored * height) return {};
  std::vector<std::string> requests;
  for (uint32_t row = 0; row < height; ++row) {
    std::string request = "$/1/" + std::to_string(width) + "/" + std::to_string(height) + "/" + std::to_string(row + 1);
    request += "/";
    for (const char c : std::string_view(file).substr(offset + (height - 1 - row) * stored, (width + 7) / 8)) {
      request += "0123456789ABCDEF"[static_cast<uint8_t>(c) >> 4];
      request += "0123456789ABCDEF"[c & 0x0F];
    }
    requests.push_back(request + "/");
  }
  return requests;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const InputFile input_file(file);
  FuzzHost fuzz;
  const ActionOutcome outcome = LoadMonochromeBitmap(fuzz.host, fuzz.executor, kUploadSlot, input_file.path, false);
  const std::vector<std::string> expected = ExpectedRequests(file);
  FUZZ_CHECK(fuzz.link.requests == expected);
  // A refused file gets one box that says why.
  FUZZ_CHECK(outcome == (expected.empty() ? ActionOutcome::kRefused : ActionOutcome::kAnswered));
  FUZZ_CHECK(!expected.empty() || fuzz.prompts.boxes.size() == 1);
  return 0;
}

}  // namespace veritor::fuzz
