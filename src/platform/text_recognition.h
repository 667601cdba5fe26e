#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pixel_buffer.h"
#include "platform/platform_error.h"

namespace tarnwick {

enum class RecognitionLevel { accurate = 0, fast = 1 };

// EXIF-style orientation of the buffer handed to the recognizer.
enum class ImageOrientation : std::uint32_t { up = 1 };

struct RecognizedText {
  std::string string;
  float confidence = 0;
};

// Something the recognizer found in the image. Text lines are one kind;
// other kinds may appear among the results.
class Observation {
 public:
  virtual ~Observation() = default;
};

class RecognizedTextObservation : public Observation {
 public:
  // At most maxCandidateCount readings, best first; possibly none.
  virtual std::vector<RecognizedText> topCandidates(std::size_t maxCandidateCount) const = 0;
};

using ObservationList = std::vector<std::shared_ptr<const Observation>>;

// One text recognition to perform, with its settings and the handler the
// recognizer calls once the work is done.
class TextRecognitionRequest {
 public:
  using CompletionHandler = std::function<void(TextRecognitionRequest& request, const PlatformError* error)>;

  explicit TextRecognitionRequest(CompletionHandler completion) : completion_(std::move(completion)) {}

  void setRecognitionLevel(RecognitionLevel level) { level_ = level; }
  void setUsesLanguageCorrection(bool uses) { usesLanguageCorrection_ = uses; }
  void setRecognitionLanguages(std::vector<std::string> languages) { languages_ = std::move(languages); }
  RecognitionLevel recognitionLevel() const { return level_; }
  bool usesLanguageCorrection() const { return usesLanguageCorrection_; }
  const std::vector<std::string>& recognitionLanguages() const { return languages_; }

  // Absent until the recognizer delivers results.
  const std::optional<ObservationList>& results() const { return results_; }

  // Called by the recognizer: stores the results and runs the completion
  // handler with the error, if any.
  void complete(std::optional<ObservationList> results, const PlatformError* error) {
    results_ = std::move(results);
    if (completion_) completion_(*this, error);
  }

 private:
  CompletionHandler completion_;
  RecognitionLevel level_ = RecognitionLevel::accurate;
  bool usesLanguageCorrection_ = true;
  std::vector<std::string> languages_;
  std::optional<ObservationList> results_;
};

using ImageRequestHandlerOptions = std::map<std::string, std::string>;

// Performs requests over one image.
class ImageRequestHandler {
 public:
  virtual ~ImageRequestHandler() = default;
  // Runs each request synchronously; every completion handler has finished
  // when this returns. On failure returns false and may fill `error`.
  virtual bool performRequests(const std::vector<TextRecognitionRequest*>& requests,
                               std::optional<PlatformError>& error) = 0;
};

class TextRecognition {
 public:
  virtual ~TextRecognition() = default;
  // The handler reads the buffer while requests are performed; the buffer
  // must outlive it.
  virtual std::unique_ptr<ImageRequestHandler> makeImageRequestHandler(const PixelBuffer& buffer,
                                                                       ImageOrientation orientation,
                                                                       const ImageRequestHandlerOptions& options) = 0;
};

}  // namespace tarnwick
