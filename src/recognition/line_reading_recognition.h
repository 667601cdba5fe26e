#pragma once

#include <memory>

#include "platform/line_recognition.h"
#include "platform/text_detection.h"
#include "platform/text_recognition.h"

namespace tarnwick {

// The recognizer as a sequence of steps: find the lines of text on the page,
// prepare each (cut out, turned dark on light, scaled), read each, and put
// what was read in reading order, one observation per visual line.
class LineReadingRecognition final : public TextRecognition {
 public:
  LineReadingRecognition(TextDetection& detection, LineRecognition& reading)
      : detection_(detection), reading_(reading) {}

  std::unique_ptr<ImageRequestHandler> makeImageRequestHandler(const PixelBuffer& buffer, ImageOrientation orientation,
                                                               const ImageRequestHandlerOptions& options) override;

 private:
  class Handler;
  TextDetection& detection_;
  LineRecognition& reading_;
};

}  // namespace tarnwick
