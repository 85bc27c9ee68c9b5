#pragma once

#include <string>
#include <vector>

#include "core/batch.h"
#include "core/command.h"
#include "core/host.h"

namespace veritor {

// The device's bitmap slots are 0 to 7; the "BMP" button uploads into slot 1.
inline constexpr unsigned kMaxBitmapSlot = 7;
inline constexpr unsigned kUploadSlot = 1;
// The largest bitmap the device takes, in pixels each way.
inline constexpr unsigned kMaxBitmapSide = 256;

// A monochrome image as the device takes it: the top row first, each row
// (width + 7) / 8 bytes, the leftmost pixel in the top bit of the first byte.
struct MonochromeBitmap {
  unsigned width = 0;
  std::vector<std::string> rows;
};

// The handler of "BMP": the file into slot 1. Refuses an empty name, and does
// nothing while another device exchange is under way.
ActionOutcome UploadBitmapFile(Host& host, CommandExecutor& executor, const std::string& path, bool verbose);

// Checks a 1-bit BMP file of at most 256 x 256 pixels and sends its rows into
// the slot. Refusals are message boxes; nothing is sent after one.
ActionOutcome LoadMonochromeBitmap(Host& host, CommandExecutor& executor, unsigned slot, const std::string& path,
                                   bool verbose);

// One "$/slot/width/height/row/HEX/" request per row, top to bottom. A device
// error does not stop the upload; a request without a reply does.
ActionOutcome SendBitmapRows(Host& host, CommandExecutor& executor, unsigned slot, const MonochromeBitmap& bitmap,
                             bool verbose);

}  // namespace veritor
