#pragma once

#include "platform/imaging_module.h"

namespace tarnwick {

// Loads the module once and gives its services. The module is looked for
// where the build and the installation put it, relative to the binary that
// holds this code. Throws std::runtime_error when it cannot be loaded.
ImagingServices& imagingServices();

}  // namespace tarnwick
