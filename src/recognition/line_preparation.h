#pragma once

#include "platform/grey_image.h"
#include "platform/pixel_buffer.h"
#include "platform/text_detection.h"

namespace tarnwick {

// The recognizer reads boxes about this tall best.
inline constexpr float kReadingHeight = 48;

// The line in the box, in grey, cut out along the box's slant, scaled so the
// box stands `readingHeight` tall, with a margin of ground around it, and
// made dark on light at full contrast whatever its colours were: white on a
// coloured button, grey on grey, light on dark.
GreyImage prepareLine(const PixelBuffer& page, const TextLineBox& box, float readingHeight = kReadingHeight);

}  // namespace tarnwick
