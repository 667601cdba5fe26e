#pragma once

#include <memory>

#include "platform/graphics.h"
#include "platform/image.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {

// Renders the image upright at its pixel size into a new unlocked BGRA buffer
// over opaque white. Throws OcrError::loadFailed.
std::unique_ptr<PixelBuffer> makeBGRAPixelBuffer(const Image& image, Graphics& graphics);

}  // namespace tarnwick
