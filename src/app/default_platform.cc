#include "app/default_platform.h"

#include <array>
#include <atomic>
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
// share/tarnwick/ beside the lib/ the shared library lives in, or above the
// lib/tarnwick/ of the recognizer program.
constexpr std::array kDetectorModelPaths{
    "/" TARNWICK_DETECTOR_MODEL,
    "/../share/tarnwick/" TARNWICK_DETECTOR_MODEL,
    "/../../share/tarnwick/" TARNWICK_DETECTOR_MODEL,
};

std::string detectorModelPath() {
  const std::string directory = binaryDirectory();
  for (const char* path : kDetectorModelPaths) {
    std::error_code error;
    if (std::filesystem::exists(directory + path, error)) return directory + path;
  }
  return directory + kDetectorModelPaths.back();
}

// The models, made on first use: they start loading on other threads while
// the imaging module loads on the calling one.
struct Models {
  TesseractLineRecognition reading;
  OpenCvTextDetection detection{detectorModelPath(), TARNWICK_DETECTOR_SHA256};
  LineReadingRecognition recognition{detection, reading};
};

std::atomic<Models*> madeModels = nullptr;

Models& models() {
  static Models made;
  madeModels = &made;
  return made;
}

}  // namespace

Platform& defaultPlatform() {
  static Platform platform = [] {
    Models& made = models();  // first, so the models load while the module does
    ImagingServices& imaging = imagingServices();
    return Platform{imaging.decoding, imaging.graphics, made.recognition};
  }();
  return platform;
}

void settleDefaultPlatform() {
  if (Models* made = madeModels.load()) {
    made->detection.waitUntilLoaded();
    made->reading.waitUntilLoaded();
  }
}

}  // namespace tarnwick
