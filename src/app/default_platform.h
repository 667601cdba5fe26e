#pragma once

#include "platform/platform.h"

namespace tarnwick {

// The library-backed services: libvips and Leptonica for images, Tesseract
// for text. Made on first use and kept for the life of the process; throws
// std::runtime_error when the imaging module cannot be loaded.
Platform& defaultPlatform();

}  // namespace tarnwick
