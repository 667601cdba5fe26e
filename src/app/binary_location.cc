#include "app/binary_location.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>

namespace tarnwick {

// Worked out here rather than written as $ORIGIN in
// the path: a sanitizer's interposed dlopen would make that the sanitizer
// runtime's directory.
std::string binaryDirectory() {
  Dl_info info{};
  link_map* binary = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&binaryDirectory), &info, reinterpret_cast<void**>(&binary),
              RTLD_DL_LINKMAP) == 0 ||
      binary == nullptr)
    return {};
  // The main program's entry has no name; the kernel knows its path.
  const std::filesystem::path file = binary->l_name[0] != '\0' ? binary->l_name : "/proc/self/exe";
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(file, error);
  return error ? std::string() : resolved.parent_path().string();
}

}  // namespace tarnwick
