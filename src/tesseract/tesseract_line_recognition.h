#pragma once

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/line_recognition.h"

namespace tesseract {
class TessBaseAPI;
}

namespace tarnwick {

// Lines read by Tesseract's LSTM engine with Debian's English model, one at
// a time in single-line mode. Loading the model is most of a short run's
// cost, so the first engine, and a second where there is a second core,
// start loading on threads of their own as soon as the recognizer is made;
// when a page has many lines, more engines load, and they read them on the
// other cores the process may use, joined before readLines returns. Engines
// are kept for the next call, loaded again only when a call asks for the
// other language-correction setting.
class TesseractLineRecognition final : public LineRecognition {
 public:
  TesseractLineRecognition();
  // Loads the model from `modelDirectory` instead of Debian's tessdata.
  explicit TesseractLineRecognition(std::string modelDirectory);
  ~TesseractLineRecognition() override;
  TesseractLineRecognition(const TesseractLineRecognition&) = delete;
  TesseractLineRecognition& operator=(const TesseractLineRecognition&) = delete;

  LineReadings readLines(const LinesToRead& lines, bool usesLanguageCorrection) override;
  // Returns once every engine started has loaded or failed to.
  void waitUntilLoaded();

 private:
  // An engine, loaded on a thread of its own.
  class Engine {
   public:
    // Starts loading, unless loaded or loading already with the setting.
    void load(const std::string& modelDirectory, bool usesLanguageCorrection);
    // Whether it is loading or loaded with the setting.
    bool startedFor(bool usesLanguageCorrection) const;
    // The engine once the load started last has finished; nullptr when it
    // failed or none was started. Any one thread may wait for it.
    tesseract::TessBaseAPI* ready();

   private:
    std::future<std::unique_ptr<tesseract::TessBaseAPI>> loading_;
    std::unique_ptr<tesseract::TessBaseAPI> engine_;
    bool usesLanguageCorrection_ = false;
  };

  std::string modelDirectory_;
  std::vector<Engine> engines_;  // two from the start (one on one core); the rest for pages with many lines
};

}  // namespace tarnwick
