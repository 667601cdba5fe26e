#include "app/imaging_module_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tarnwick {
namespace {

// Where the module may be, relative to the directory of the binary that
// loads it: beside it in the build tree; once installed, in lib/tarnwick/
// seen from the shared library, which lives in lib/, or from the executable
// in bin/.
constexpr std::array kImagingModulePaths{
    "/tarnwick-imaging.so",
    "/tarnwick/tarnwick-imaging.so",
    "/" TARNWICK_LIBDIR_FROM_BINDIR "/tarnwick/tarnwick-imaging.so",
};

// The directory of the binary holding this code, the command or the library.
// Worked out here rather than written as $ORIGIN in the path: a sanitizer's
// interposed dlopen would make that the sanitizer runtime's directory.
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

ImagingServices& loadImagingServices() {
  const std::string directory = binaryDirectory();
  for (const char* path : kImagingModulePaths) {
    if (directory.empty()) break;
    // Kept for the life of the process: its services are handed out by
    // reference, and its libraries register types with GLib for good.
    void* module = dlopen((directory + path).c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
    if (module == nullptr) continue;
    const auto entry = reinterpret_cast<ImagingServicesEntry>(dlsym(module, kImagingServicesEntry));
    if (ImagingServices* services = entry != nullptr ? entry() : nullptr) return *services;
  }
  throw std::runtime_error("cannot load the imaging module tarnwick-imaging.so");
}

}  // namespace

ImagingServices& imagingServices() {
  static ImagingServices& services = loadImagingServices();
  return services;
}

}  // namespace tarnwick
