#include "recognition/line_reading_recognition.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>

#include "platform/unicode.h"
#include "recognition/line_preparation.h"
#include "recognition/panel_edges.h"
#include "recognition/reading_order.h"

namespace tarnwick {
namespace {

constexpr const char* kSupportedLanguage = "en-US";

PlatformError unsupportedLanguage(const std::string& language) {
  return textRecognitionError(TextRecognitionErrorCode::unsupportedLanguage,
                              "The text recognizer does not support the language \"" + language + "\".");
}

class TextLine final : public RecognizedTextObservation {
 public:
  explicit TextLine(RecognizedText reading) : reading_(std::move(reading)) {}

  std::vector<RecognizedText> topCandidates(std::size_t maxCandidateCount) const override {
    if (maxCandidateCount == 0) return {};
    return {reading_};
  }

 private:
  RecognizedText reading_;
};

// Icons, avatars, bullets, cursors and rules look like text to the
// detector, and the recognizer reads them as a stray symbol or letter: a
// piece of one or two symbols is never text a reader would want, and one
// that is short or has no letter or digit is kept only when read
// confidently. A letter never fills a box as wide as it is tall: such a
// piece is a drawn mark (an avatar read as "O" or "0", a close button as
// "x"). A lone digit from 1 to 9, whose box the detector rounds out, is a
// count, a page or a line number. A short piece less than half as tall as
// the page's lines is a mark drawn beside them (a select's arrow, a
// chevron), however confidently read.
constexpr float kShortPieceConfidence = 0.7F;
constexpr std::size_t kShortPieceCharacters = 2;
constexpr float kMarkHeight = 0.5F;

bool isWorthKeeping(const std::string& text, float confidence, const TextLineBox& box, float lineHeight) {
  const bool wordLike = std::any_of(text.begin(), text.end(), [](char byte) {
    return std::isalnum(static_cast<unsigned char>(byte)) != 0;
  });
  const std::size_t characters = graphemeClusterCount(text);
  const bool isShort = characters <= kShortPieceCharacters;
  if (text.empty() || (isShort && !wordLike)) return false;
  const bool countingDigit = text.size() == 1 && text[0] >= '1' && text[0] <= '9';
  const auto [length, height] = sidesOf(box);
  if (characters == 1 && !countingDigit && length >= height) return false;
  if (isShort && height < kMarkHeight * lineHeight) return false;
  return (wordLike && !isShort) || confidence >= kShortPieceConfidence;
}

// The boxes whose readings are worth keeping, with those readings trimmed:
// marks read as text would otherwise sit in rows and columns of their own.
struct KeptLines {
  std::vector<TextLineBox> boxes;
  std::vector<RecognizedText> readings;
};

KeptLines keptLines(const std::vector<TextLineBox>& boxes, const std::vector<RecognizedText>& readings) {
  KeptLines kept;
  const float lineHeight = typicalHeight(boxes);
  for (std::size_t piece = 0; piece < boxes.size(); ++piece) {
    std::string text = trimWhitespaceAndNewlines(readings[piece].string);
    if (!isWorthKeeping(text, readings[piece].confidence, boxes[piece], lineHeight)) continue;
    kept.boxes.push_back(boxes[piece]);
    kept.readings.push_back({.string = std::move(text), .confidence = readings[piece].confidence});
  }
  return kept;
}

// The recognizer's reading of a line shifts with the scale it sees it at, and
// on a page read surely for the most part, a line read unsure is often read
// right at another scale ("Ctri" at one, "Ctrl" at the next). The page's
// least confident lines, at most a share of them, are read again at a second
// height and keep the surer reading. A page read unsure throughout (a worn
// photo) is unsure for other reasons and is not looked at again.
constexpr float kSecondLookConfidence = 0.9F;
constexpr double kSecondLookShare = 0.15;
constexpr double kMostlyUnsure = 0.5;
constexpr float kSecondLookHeight = 36;

std::vector<std::size_t> unsureLines(const std::vector<RecognizedText>& readings) {
  std::vector<std::size_t> unsure;
  for (std::size_t line = 0; line < readings.size(); ++line)
    if (readings[line].confidence < kSecondLookConfidence) unsure.push_back(line);
  const auto lines = static_cast<double>(readings.size());
  if (static_cast<double>(unsure.size()) > kMostlyUnsure * lines) return {};
  std::stable_sort(unsure.begin(), unsure.end(),
                   [&](auto a, auto b) { return readings[a].confidence < readings[b].confidence; });
  const auto most = static_cast<std::size_t>(std::ceil(kSecondLookShare * lines));
  unsure.resize(std::min(unsure.size(), most));
  return unsure;
}

// Each visual line's readings joined by spaces; its confidence is its least
// confident piece's.
ObservationList observations(const std::vector<VisualLine>& lines, const std::vector<RecognizedText>& readings) {
  ObservationList found;
  for (const VisualLine& line : lines) {
    RecognizedText joined{.string = "", .confidence = 1.0F};
    for (const std::size_t piece : line) {
      if (!joined.string.empty()) joined.string += ' ';
      joined.string += readings[piece].string;
      joined.confidence = std::min(joined.confidence, readings[piece].confidence);
    }
    if (!joined.string.empty()) found.push_back(std::make_shared<TextLine>(std::move(joined)));
  }
  return found;
}

}  // namespace

class LineReadingRecognition::Handler final : public ImageRequestHandler {
 public:
  Handler(LineReadingRecognition& recognition, const PixelBuffer& buffer)
      : recognition_(recognition), buffer_(buffer) {}

  bool performRequests(const std::vector<TextRecognitionRequest*>& requests,
                       std::optional<PlatformError>& error) override {
    for (TextRecognitionRequest* request : requests) {
      std::optional<ObservationList> lines = perform(*request, error);
      if (!lines) {
        request->complete(std::nullopt, &*error);
        return false;
      }
      request->complete(std::move(lines), nullptr);
    }
    return true;
  }

 private:
  // Fills `error` whenever it returns nullopt.
  std::optional<ObservationList> perform(const TextRecognitionRequest& request, std::optional<PlatformError>& error) {
    for (const std::string& language : request.recognitionLanguages()) {
      if (language == kSupportedLanguage) continue;
      error = unsupportedLanguage(language);
      return std::nullopt;
    }
    if (!detected_) {
      TextDetectionResult detection = recognition_.detection_.detectLines(buffer_);
      if (detection.error) {
        error = std::move(detection.error);
        return std::nullopt;
      }
      detected_ = joinedPiecesOfLines(detection.lines);
    }
    if (detected_->empty()) return ObservationList{};
    LineReadings read = readFoundLines(request.usesLanguageCorrection());
    if (read.error) {
      error = std::move(read.error);
      return std::nullopt;
    }
    const PageDrawing drawing{
        .edgeDown = [&](float left, float right, float top, float bottom) {
          return panelEdgeRunsDown(buffer_, left, right, top, bottom);
        },
        .ruleAcross = [&](float left, float right, float top, float bottom) {
          return ruleRunsAcross(buffer_, left, right, top, bottom);
        }};
    const KeptLines kept = keptLines(*detected_, read.readings);
    return observations(readingOrder(kept.boxes, drawing), kept.readings);
  }

  // Every found line read, the unsure ones twice.
  LineReadings readFoundLines(bool usesLanguageCorrection) {
    std::vector<std::size_t> everyLine(detected_->size());
    std::iota(everyLine.begin(), everyLine.end(), std::size_t{0});
    LineReadings read = readLines(everyLine, kReadingHeight, usesLanguageCorrection);
    if (read.error) return read;
    const std::vector<std::size_t> unsure = unsureLines(read.readings);
    LineReadings again = readLines(unsure, kSecondLookHeight, usesLanguageCorrection);
    if (again.error) return again;
    for (std::size_t retried = 0; retried < unsure.size(); ++retried)
      if (again.readings[retried].confidence > read.readings[unsure[retried]].confidence)
        read.readings[unsure[retried]] = std::move(again.readings[retried]);
    return read;
  }

  // The found lines given, prepared at `readingHeight` as the recognizer
  // takes them up, read; one reading for each line, whatever the recognizer
  // returned.
  LineReadings readLines(const std::vector<std::size_t>& lines, float readingHeight, bool usesLanguageCorrection) {
    if (lines.empty()) return {};
    const GreyView page(buffer_);
    LinesToRead toRead{.pixels = {}, .draw = [&](std::size_t line) {
                         return prepareLine(page, (*detected_)[lines[line]], readingHeight);
                       }};
    for (const std::size_t line : lines) toRead.pixels.push_back(preparedPixels((*detected_)[line], readingHeight));
    LineReadings read = recognition_.reading_.readLines(toRead, usesLanguageCorrection);
    read.readings.resize(lines.size());
    return read;
  }

  LineReadingRecognition& recognition_;
  const PixelBuffer& buffer_;
  std::optional<std::vector<TextLineBox>> detected_;  // found for the first request, shared by the rest
};

std::unique_ptr<ImageRequestHandler> LineReadingRecognition::makeImageRequestHandler(
    const PixelBuffer& buffer, ImageOrientation, const ImageRequestHandlerOptions&) {
  return std::make_unique<Handler>(*this, buffer);
}

}  // namespace tarnwick
