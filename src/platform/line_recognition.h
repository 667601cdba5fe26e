#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/grey_image.h"
#include "platform/platform_error.h"
#include "platform/text_recognition.h"

namespace tarnwick {

struct LineReadings {
  std::vector<RecognizedText> readings;  // one per line, in the order given
  std::optional<PlatformError> error;
};

// Lines to read, each drawn only as it is taken up to be read, so that
// several engines share out the drawing as well as the reading.
struct LinesToRead {
  // Each line's pixels once drawn: the largest lines are read first, and the
  // sum says how many engines the lines are worth.
  std::vector<std::int64_t> pixels;
  // Draws a line: called once for each, from several threads at once.
  std::function<GreyImage(std::size_t line)> draw;
};

// Reads images that each hold one line of dark text on a light ground.
class LineRecognition {
 public:
  virtual ~LineRecognition() = default;
  virtual LineReadings readLines(const LinesToRead& lines, bool usesLanguageCorrection) = 0;
};

}  // namespace tarnwick
