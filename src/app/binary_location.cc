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
  std::error_code error;
  // The main program's entry has no name. The kernel's link to it holds the
  // file's real path, read without searching the directories on the way,
  // which a process started with other rights than its own may not do.
  if (binary->l_name[0] == '\0') return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
  // A library's entry is the path it was loaded by. A link to it is followed
  // to the real file's directory, where the module is installed, when the
  // directories on the way can be searched.
  const std::filesystem::path library = binary->l_name;
  const std::filesystem::path resolved = std::filesystem::canonical(library, error);
  return (error ? library : resolved).parent_path().string();
}

}  // namespace tarnwick
