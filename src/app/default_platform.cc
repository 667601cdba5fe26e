#include "app/default_platform.h"

#include <array>
#include <filesystem>
#include <string>

#include "app/binary_location.h"
#include "app/imaging_module_loader.h"
#include "opencv/opencv_text_detection.h"
#include "recognition/line_reading_recognition.h"
#include "tesseract/tesseract_line_recognition.h"

namespace tarnwick {
namespace {

// Where the detector's model may be, relative to the directory of the binary
// that reads it: beside it in the build tree; once installed, in
// share/tarnwick/ beside the bin/ and lib/ the binaries live in.
constexpr std::array kDetectorModelPaths{
    "/" TARNWICK_DETECTOR_MODEL,
    "/../share/tarnwick/" TARNWICK_DETECTOR_MODEL,
};

std::string detectorModelPath() {
  const std::string directory = binaryDirectory();
  for (const char* path : kDetectorModelPaths) {
    std::error_code error;
    if (std::filesystem::exists(directory + path, error)) return directory + path;
  }
  return directory + kDetectorModelPaths.back();
}

}  // namespace

Platform& defaultPlatform() {
  // The models first: they start loading on other threads while the imaging
  // module loads on this one.
  static TesseractLineRecognition reading;
  static OpenCvTextDetection detection(detectorModelPath(), TARNWICK_DETECTOR_SHA256);
  static LineReadingRecognition recognition(detection, reading);
  static Platform platform{imagingServices().decoding, imagingServices().graphics, recognition};
  return platform;
}

}  // namespace tarnwick
