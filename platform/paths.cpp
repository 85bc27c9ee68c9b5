#include "platform/paths.h"

#include <cstdlib>

namespace veritor {

std::string DefaultOutputDirectory() {
  const char* home = std::getenv("HOME");
  std::string base = (home != nullptr && *home != '\0') ? home : ".";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") base.clear();
  return base + "/out/";
}

}  // namespace veritor
