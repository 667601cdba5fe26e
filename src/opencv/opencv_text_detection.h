#pragma once

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/text_detection.h"

namespace tarnwick {

// Text lines found by a DB-style segmentation network (PP-OCR's detector)
// run by OpenCV's dnn module: the network gives every pixel of a reduced
// copy of the page a probability of being text; the regions above a
// threshold, confident enough on average and grown back to the whole line's
// extent, are the lines.
//
// The model file is read and checked against its SHA-256 on a thread of its
// own as soon as the detector is made, so it loads while the image is
// decoded. A model that is missing, unreadable or altered fails every
// detection with an error, never a crash.
class OpenCvTextDetection final : public TextDetection {
 public:
  OpenCvTextDetection(std::string modelPath, std::string expectedSha256);
  ~OpenCvTextDetection() override;
  OpenCvTextDetection(const OpenCvTextDetection&) = delete;
  OpenCvTextDetection& operator=(const OpenCvTextDetection&) = delete;

  TextDetectionResult detectLines(const PixelBuffer& page) override;
  // Returns once the model has loaded or failed to.
  void waitUntilLoaded();

 private:
  struct Model;
  std::string modelPath_;
  std::future<std::unique_ptr<Model>> loading_;
  std::unique_ptr<Model> model_;
};

// How the network's output maps back to the page.
struct ProbabilityMap {
  const float* values = nullptr;  // row after row
  int width = 0;
  int height = 0;
  float scaleX = 1;  // map pixels per page pixel, across
  float scaleY = 1;  // and down
  int pageWidth = 0;
  int pageHeight = 0;
};

// The lines of a probability map, in page pixels, inside the page. Any map
// is safe: values need not be in [0, 1] nor even numbers.
std::vector<TextLineBox> linesFromProbabilityMap(const ProbabilityMap& map);

}  // namespace tarnwick
