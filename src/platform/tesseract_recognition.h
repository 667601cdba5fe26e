#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/text_recognition.h"

namespace tesseract {
class TessBaseAPI;
}

namespace tarnwick {

inline constexpr const char* kTextRecognitionErrorDomain = "tarnwick.TextRecognition";

enum class TesseractRecognitionError : std::int64_t {
  unsupportedLanguage = 1,
  modelUnavailable = 2,
  recognitionFailed = 3,
};

// Text recognition by Tesseract's LSTM engine and Debian's English model.
// Loading the model is most of a short run's cost, so the engine is set up on
// the first request and kept, and set up again only when a request needs
// different init-time settings. Handlers it makes must not outlive it.
class TesseractRecognition final : public TextRecognition {
 public:
  TesseractRecognition();
  // Loads the model from `modelDirectory` instead of Debian's tessdata.
  explicit TesseractRecognition(std::string modelDirectory);
  ~TesseractRecognition() override;
  TesseractRecognition(const TesseractRecognition&) = delete;
  TesseractRecognition& operator=(const TesseractRecognition&) = delete;

  std::unique_ptr<ImageRequestHandler> makeImageRequestHandler(const PixelBuffer& buffer, ImageOrientation orientation,
                                                               const ImageRequestHandlerOptions& options) override;

 private:
  class Handler;

  // The engine ready for the setting, or nullptr with `error` filled when the
  // model cannot be loaded.
  tesseract::TessBaseAPI* engine(bool usesLanguageCorrection, std::optional<PlatformError>& error);

  std::string modelDirectory_;
  std::unique_ptr<tesseract::TessBaseAPI> engine_;
  bool engineUsesLanguageCorrection_ = false;
};

}  // namespace tarnwick
