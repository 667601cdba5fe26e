#pragma once

#include "platform/platform.h"

namespace tarnwick {

// The library-backed services: libvips and Leptonica for images, Tesseract
// for text. Made on first use and kept for the life of the process; throws
// std::runtime_error when the imaging module cannot be loaded.
Platform& defaultPlatform();

// Returns once the models the default platform started loading, if it was
// made, have loaded. Run before the process exits: libraries tear down the
// state they made on first use before the platform goes, and a load still
// running then would use it.
void settleDefaultPlatform();

}  // namespace tarnwick
