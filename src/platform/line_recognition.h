#pragma once

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

// Reads images that each hold one line of dark text on a light ground.
class LineRecognition {
 public:
  virtual ~LineRecognition() = default;
  virtual LineReadings readLines(const std::vector<GreyImage>& lines, bool usesLanguageCorrection) = 0;
};

}  // namespace tarnwick
