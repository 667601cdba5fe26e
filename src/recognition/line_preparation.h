#pragma once

#include <cstdint>

#include "platform/grey_image.h"
#include "platform/text_detection.h"
#include "recognition/grey_view.h"

namespace tarnwick {

// The recognizer reads boxes about this tall best.
inline constexpr float kReadingHeight = 48;

// The line in the box, in grey, cut out along the box's slant, scaled so the
// box stands `readingHeight` tall, with a margin of ground around it, and
// made dark on light at full contrast whatever its colours were: white on a
// coloured button, grey on grey, light on dark.
// Reads the page only: lines may be prepared from one view on several
// threads at once.
GreyImage prepareLine(const GreyView& page, const TextLineBox& box, float readingHeight = kReadingHeight);

// The pixels of the line prepareLine makes, none for a box it refuses.
std::int64_t preparedPixels(const TextLineBox& box, float readingHeight = kReadingHeight);

}  // namespace tarnwick
