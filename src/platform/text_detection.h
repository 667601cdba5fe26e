#pragma once

#include <array>
#include <optional>
#include <vector>

#include "platform/pixel_buffer.h"
#include "platform/platform_error.h"

namespace tarnwick {

struct Point {
  float x = 0;
  float y = 0;
};

// Where a line of text lies on the page, in page pixels: its corners
// clockwise from the top left of the text as it reads, so a slanted line has
// a slanted box.
struct TextLineBox {
  std::array<Point, 4> corners;
  float score = 0;  // the detector's confidence that this is text, 0 to 1
};

// A box's length along its text and its height across it, each the mean of
// its two sides.
struct BoxSides {
  float length, height;
};
BoxSides sidesOf(const TextLineBox& box);

// The median of the boxes' heights; 0 when there are none.
float typicalHeight(const std::vector<TextLineBox>& boxes);

struct TextDetectionResult {
  std::vector<TextLineBox> lines;  // in no particular order
  std::optional<PlatformError> error;
};

// Finds the lines of text on a page without reading them.
class TextDetection {
 public:
  virtual ~TextDetection() = default;
  virtual TextDetectionResult detectLines(const PixelBuffer& page) = 0;
};

}  // namespace tarnwick
