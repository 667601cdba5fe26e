#include "platform/file_system.h"

#include <unistd.h>

#include <filesystem>

namespace tarnwick {

std::string standardizedPath(const std::string& path) {
  std::error_code error;
  // A deleted working directory leaves relative paths as they are: the
  // readability test then fails on them.
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  return absolute.lexically_normal().string();
}

bool isReadableFile(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace tarnwick
