#pragma once

#include <memory>

#include "platform/image_decoding.h"

namespace tarnwick {

// An image source over a whole file in memory, decoded by Leptonica into a
// libvips image. The first image only; refused from its header beyond the
// pixel buffer limit (for a GIF, the pixels of all its frames together).
std::unique_ptr<ImageSource> makeLeptonicaImageSource(Bytes file);

}  // namespace tarnwick
