// Command execution on a reply of any text: the input is the reply frame
// text of the first exchange; a device that said BUSY or PRINTEROFFLINE then
// answers "00/00/00/ok".

#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {

// The status byte as two hexadecimal digits at `position`, 0xFF when they
// are not.
int StatusByte(const std::string& reply, size_t position) {
  if (position + 2 > reply.size()) return 0xFF;
  const int value = ParseHexByte(reply[position], reply[position + 1]);
  return value < 0 ? 0xFF : value;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string first(reinterpret_cast<const char*>(data), size);
  const bool busy = StatusByte(first, 0) == 0x0E || StatusByte(first, 0) == 0x1A;
  FuzzHost fuzz;
  fuzz.link.replies = {first};
  fuzz.link.standing = "00/00/00/ok";

  std::string received = "stale";
  FUZZ_CHECK(fuzz.executor.ExecuteCommand("v", received, true) == kResultOk);
  const std::string& last = busy ? fuzz.link.standing : first;
  FUZZ_CHECK(fuzz.link.requests.size() == (busy ? 2u : 1u));
  FUZZ_CHECK(fuzz.executor.ReplyBuffer() == last);
  FUZZ_CHECK(received == (last.size() > 9 ? last.substr(9) : std::string()));
  FUZZ_CHECK(fuzz.executor.ReplyErrorCode() == StatusByte(last, 0));
  FUZZ_CHECK(fuzz.executor.DeviceStatusBits() == StatusByte(last, 3));
  FUZZ_CHECK(fuzz.executor.FunctionStatusBits() == StatusByte(last, 6));
  return 0;
}

}  // namespace veritor::fuzz
