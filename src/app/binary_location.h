#pragma once

#include <string>

namespace tarnwick {

// The directory of the binary holding this code, the command or the library;
// empty when it cannot be told. The files a binary
// ships with (its imaging module, the detector's model) are found from here.
std::string binaryDirectory();

}  // namespace tarnwick
