// Command execution on a reply of any text: the input is the reply frame
// text of the first exchange; a device that said BUSY or PRINTEROFFLINE then
// answers "00/00/00/ok".

#include "tests/fuzz/fuzz_host.h"

namespace veritor::fuzz {
namespace {

const std::string kGoodReply = "00/00/00/ok";

// The status byte as two hexadecimal digits at `position`, 0xFF when they
// are not.
int StatusByte(const std::string& reply, size_t position) {
  if (position + 2 > reply.size()) return 0xFF;
  const int value = ParseHexByte(reply[position], reply[position + 1]);
  return value < 0 ? 0xFF : value;
}

bool SaidBusy(const std::string& reply) { return StatusByte(reply, 0) == 0x0E || StatusByte(reply, 0) == 0x1A; }

}  // namespace
}  // namespace veritor::fuzz

using namespace veritor;
using namespace veritor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string first(reinterpret_cast<const char*>(data), size);
  FuzzHost fuzz;
  ScriptedLink link;
  link.replies = {first};
  link.standing = kGoodReply;
  CommandExecutor executor(fuzz.host, link);

  std::string received = "stale";
  FUZZ_CHECK(executor.ExecuteCommand("v", received, true) == kResultOk);
  const std::string& last = SaidBusy(first) ? kGoodReply : first;
  FUZZ_CHECK(link.requests.size() == (SaidBusy(first) ? 2u : 1u));
  FUZZ_CHECK(executor.ReplyBuffer() == last);
  FUZZ_CHECK(received == (last.size() > 9 ? last.substr(9) : std::string()));
  FUZZ_CHECK(executor.ReplyErrorCode() == StatusByte(last, 0));
  FUZZ_CHECK(executor.DeviceStatusBits() == StatusByte(last, 3));
  FUZZ_CHECK(executor.FunctionStatusBits() == StatusByte(last, 6));
  return 0;
}
