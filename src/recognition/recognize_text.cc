#include "recognition/recognize_text.h"


#include "error/ocr_error.h"
#include "imaging/pixel_buffer_preparation.h"
#include "recognition/line_assembly.h"

namespace tarnwick {
namespace {

// What the completion handler hands back to the caller.
struct RecognitionState {
  std::vector<std::shared_ptr<const RecognizedTextObservation>> observations;
  std::optional<PlatformError> error;
};

// A recognition that fails without saying why still needs a message.
const PlatformError kUnexplainedFailure{
    .domain = "tarnwick.TextRecognition",
    .code = -1,
    .localizedDescription = "The recognizer failed without reporting an error.",
    .description = "",
};

// Every result must be a text observation, or none is used.
std::vector<std::shared_ptr<const RecognizedTextObservation>> textObservations(
    const std::optional<ObservationList>& results) {
  std::vector<std::shared_ptr<const RecognizedTextObservation>> texts;
  if (!results) return texts;
  for (const auto& observation : *results) {
    auto text = std::dynamic_pointer_cast<const RecognizedTextObservation>(observation);
    if (!text) return {};
    texts.push_back(std::move(text));
  }
  return texts;
}

std::vector<TextObservation> topCandidateReadings(
    const std::vector<std::shared_ptr<const RecognizedTextObservation>>& observations) {
  std::vector<TextObservation> readings;
  readings.reserve(observations.size());
  for (const auto& observation : observations) {
    TextObservation reading;
    for (auto& candidate : observation->topCandidates(1)) {
      reading.candidates.push_back(TextCandidate{.string = std::move(candidate.string), .confidence = candidate.confidence});
    }
    readings.push_back(std::move(reading));
  }
  return readings;
}

}  // namespace

OcrResult recognizeText(Image image, Platform& platform) {
  // A large scan's decoded pixels are as large as the buffer: held while the
  // page is read, they would double its memory.
  const std::unique_ptr<PixelBuffer> buffer = [drawn = std::move(image), &platform] {
    return makeBGRAPixelBuffer(drawn, platform.graphics);
  }();

  auto state = std::make_shared<RecognitionState>();
  TextRecognitionRequest request([state](TextRecognitionRequest& finished, const PlatformError* error) {
    if (error != nullptr) {
      state->error = *error;
      return;
    }
    state->observations = textObservations(finished.results());
  });
  request.setRecognitionLevel(RecognitionLevel::accurate);
  request.setUsesLanguageCorrection(true);
  request.setRecognitionLanguages({"en-US"});

  const std::unique_ptr<ImageRequestHandler> handler =
      platform.recognition.makeImageRequestHandler(*buffer, ImageOrientation::up, ImageRequestHandlerOptions{});
  std::optional<PlatformError> performError;
  if (!handler->performRequests({&request}, performError)) {
    throw OcrError::visionFailed(describeError(performError.value_or(kUnexplainedFailure)));
  }
  if (state->error) throw OcrError::visionFailed(describeError(*state->error));
  return assembleResult(topCandidateReadings(state->observations));
}

}  // namespace tarnwick
