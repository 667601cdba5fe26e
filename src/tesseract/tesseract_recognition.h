#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/text_recognition.h"

namespace tesseract {
class TessBaseAPI;
}

namespace tarnwick {

// Text recognition by Tesseract's LSTM engine and Debian's English model.
// Engines without a model find the pieces of each line of a page (layout
// analysis, then a search for sparse text among what it kept) while the
// model loads; then each piece is read on its own: on a large page by two
// engines on two threads, which are joined before the requests complete.
// Loading the model is most of a short run's cost, so the first engine
// starts loading on its own thread as soon as the recognizer is made. All
// engines are kept, the reading ones to be loaded again only when a request
// needs different init-time settings. Handlers it makes must not outlive it.
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

  // An engine, loaded on a thread of its own.
  class Engine {
   public:
    // Starts loading, unless loaded or loading already with the setting.
    void load(const std::string& modelDirectory, bool usesLanguageCorrection);
    // The engine ready for the setting, once loaded; nullptr when the model
    // cannot be loaded.
    tesseract::TessBaseAPI* engine(const std::string& modelDirectory, bool usesLanguageCorrection);
    // The engine once the load started last has finished; nullptr when it
    // failed or none was started. Any one thread may wait for it.
    tesseract::TessBaseAPI* ready();

   private:
    std::future<std::unique_ptr<tesseract::TessBaseAPI>> loading_;
    std::unique_ptr<tesseract::TessBaseAPI> engine_;
    bool usesLanguageCorrection_ = false;
  };

  // An engine that only analyses layout, made on first use: it needs no
  // model, so it is ready at once and works while the readers' models load.
  static tesseract::TessBaseAPI& modelless(std::unique_ptr<tesseract::TessBaseAPI>& engine);

  std::string modelDirectory_;
  std::unique_ptr<tesseract::TessBaseAPI> layoutEngine_;  // lays pages out
  std::unique_ptr<tesseract::TessBaseAPI> searchEngine_;  // searches them on the helper's thread
  Engine primary_;
  Engine secondary_;
};

}  // namespace tarnwick
