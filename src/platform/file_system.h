#pragma once

#include <string>

namespace tarnwick {

// The path made absolute against the current directory, with "." and ".."
// segments folded lexically; symbolic links are not resolved.
std::string standardizedPath(const std::string& path);

// True when the process may read the file at the path.
bool isReadableFile(const std::string& path);

}  // namespace tarnwick
