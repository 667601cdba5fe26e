#include "app/imaging_module_loader.h"

#include "app/binary_location.h"

#include <dlfcn.h>

#include <array>
#include <stdexcept>
#include <string>

namespace tarnwick {
namespace {

// Where the module may be, relative to the directory of the binary that
// loads it: beside it in the build tree and beside the recognizer program,
// which is installed in lib/tarnwick/; in lib/tarnwick/ seen from the shared
// library, which lives in lib/.
constexpr std::array kImagingModulePaths{
    "/tarnwick-imaging.so",
    "/tarnwick/tarnwick-imaging.so",
};

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
