#pragma once

#include <string>

namespace veritor {

// Where Z-report files and other output go: "$HOME/out/" with exactly one
// trailing slash, or "./out/" when HOME is unset or empty. Not created here.
std::string DefaultOutputDirectory();

}  // namespace veritor
