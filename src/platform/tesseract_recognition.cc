#include "platform/tesseract_recognition.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

namespace tarnwick {
namespace {

// Debian's eng model is the only one we ship.
constexpr const char* kSupportedLanguage = "en-US";
constexpr const char* kModelLanguage = "eng";

// Tesseract keeps page coordinates in 16 bits and refuses larger images.
constexpr int kMaxEngineSide = 32767;

// Buffers carry no resolution. Without one Tesseract guesses it from the text
// and prints the guess; 300 ppi, the usual scanning resolution, reads our
// benchmark documents better than the 96 ppi their files declare.
constexpr int kAssumedResolution = 300;

struct PixDestroy {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDestroy>;

struct DeleteText {
  void operator()(char* text) const { delete[] text; }
};
using TextPtr = std::unique_ptr<char[], DeleteText>;

PlatformError recognitionError(TesseractRecognitionError code, std::string localizedDescription) {
  const auto value = static_cast<std::int64_t>(code);
  return PlatformError{
      .domain = kTextRecognitionErrorDomain,
      .code = value,
      .localizedDescription = std::move(localizedDescription),
      .description = std::string(kTextRecognitionErrorDomain) + " error " + std::to_string(value),
  };
}

// 8-bit luminance with Leptonica's weights (0.3, 0.5, 0.2), the conversion
// Tesseract applies to colour pages itself; handing it grey keeps the colour
// order out of its hands. Pages with a side beyond the engine's limit are
// scaled down to fit, keeping the aspect. nullptr when memory runs out.
PixPtr greyPage(const PixelBuffer& buffer) {
  const int width = buffer.width(), height = buffer.height();
  PixPtr grey(pixCreate(width, height, 8));
  if (!grey) return nullptr;
  {
    const BaseAddressLock lock(buffer, LockFlags::readOnly);
    const std::uint8_t* row = buffer.baseAddress();
    l_uint32* line = pixGetData(grey.get());
    const int wordsPerLine = pixGetWpl(grey.get());
    for (int y = 0; y < height; ++y, row += buffer.bytesPerRow(), line += wordsPerLine) {
      for (int x = 0; x < width; ++x) {
        const std::uint8_t* bgra = row + 4 * static_cast<std::size_t>(x);
        SET_DATA_BYTE(line, x, (51 * bgra[0] + 128 * bgra[1] + 77 * bgra[2] + 128) >> 8);
      }
    }
  }
  const int longest = std::max(width, height);
  if (longest <= kMaxEngineSide) return grey;
  const double scale = static_cast<double>(kMaxEngineSide) / longest;
  const auto fit = [scale](int side) { return std::max(1, static_cast<int>(std::lround(side * scale))); };
  return PixPtr(pixScaleToSize(grey.get(), fit(width), fit(height)));
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

// The engine keeps the page and its results until the next image; a kept
// engine should not hold on to a large page.
class PageOnEngine {
 public:
  PageOnEngine(tesseract::TessBaseAPI& engine, Pix* page) : engine_(engine) {
    engine_.SetImage(page);
    engine_.SetSourceResolution(kAssumedResolution);
  }
  ~PageOnEngine() { engine_.Clear(); }
  PageOnEngine(const PageOnEngine&) = delete;
  PageOnEngine& operator=(const PageOnEngine&) = delete;

 private:
  tesseract::TessBaseAPI& engine_;
};

// One observation per line of text, in the engine's reading order. nullopt when
// the engine fails.
std::optional<ObservationList> recognizeLines(tesseract::TessBaseAPI& engine, Pix* page) {
  const PageOnEngine session(engine, page);
  if (engine.Recognize(nullptr) != 0) return std::nullopt;
  ObservationList lines;
  const std::unique_ptr<tesseract::ResultIterator> line(engine.GetIterator());
  if (!line || line->Empty(tesseract::RIL_TEXTLINE)) return lines;
  do {
    // Pictures and rules come back as blocks of blank lines.
    const tesseract::PolyBlockType block = line->BlockType();
    if (tesseract::PTIsImageType(block) || tesseract::PTIsLineType(block)) continue;
    const TextPtr text(line->GetUTF8Text(tesseract::RIL_TEXTLINE));
    lines.push_back(std::make_shared<TextLine>(RecognizedText{
        .string = text ? text.get() : "",
        .confidence = line->Confidence(tesseract::RIL_TEXTLINE) / 100.0F,
    }));
  } while (line->Next(tesseract::RIL_TEXTLINE));
  return lines;
}

}  // namespace

class TesseractRecognition::Handler final : public ImageRequestHandler {
 public:
  Handler(TesseractRecognition& recognition, const PixelBuffer& buffer) : recognition_(recognition), buffer_(buffer) {}

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
    const auto& languages = request.recognitionLanguages();
    const auto unsupported = std::find_if(languages.begin(), languages.end(),
                                          [](const std::string& language) { return language != kSupportedLanguage; });
    if (unsupported != languages.end()) {
      error = recognitionError(TesseractRecognitionError::unsupportedLanguage,
                               "The text recognizer does not support the language \"" + *unsupported + "\".");
      return std::nullopt;
    }
    // Both recognition levels run the LSTM engine, Tesseract's accurate one;
    // a second engine would mean a second model load.
    tesseract::TessBaseAPI* engine = recognition_.engine(request.usesLanguageCorrection(), error);
    if (engine == nullptr) return std::nullopt;
    if (!page_) page_ = greyPage(buffer_);
    std::optional<ObservationList> lines;
    if (page_) lines = recognizeLines(*engine, page_.get());
    if (!lines) {
      error = recognitionError(TesseractRecognitionError::recognitionFailed,
                               "The text recognizer could not read the image.");
    }
    return lines;
  }

  TesseractRecognition& recognition_;
  const PixelBuffer& buffer_;
  PixPtr page_;  // made on the first request, shared by the rest
};

TesseractRecognition::TesseractRecognition() : TesseractRecognition(TARNWICK_TESSDATA_DIR) {}

TesseractRecognition::TesseractRecognition(std::string modelDirectory) : modelDirectory_(std::move(modelDirectory)) {
  // Tesseract's word lists live in a cache that is a function-level static.
  // Made before this object, it is destroyed after it, so an engine kept in
  // a static recognizer can still hand its word lists back at exit.
  tesseract::TessBaseAPI::ClearPersistentCache();
}

TesseractRecognition::~TesseractRecognition() = default;

std::unique_ptr<ImageRequestHandler> TesseractRecognition::makeImageRequestHandler(const PixelBuffer& buffer,
                                                                                   ImageOrientation,
                                                                                   const ImageRequestHandlerOptions&) {
  return std::make_unique<Handler>(*this, buffer);
}

tesseract::TessBaseAPI* TesseractRecognition::engine(bool usesLanguageCorrection,
                                                      std::optional<PlatformError>& error) {
  if (engine_ && engineUsesLanguageCorrection_ == usesLanguageCorrection) return engine_.get();
  engine_.reset();
  auto engine = std::make_unique<tesseract::TessBaseAPI>();
  // Before Init: what Init prints (a missing model, say) comes before the
  // variables handed to it take effect.
  engine->SetVariable("debug_file", "/dev/null");
  // The LSTM engine loads its own word lists unless lstm_use_matrix is off;
  // load_system_dawg and load_freq_dawg only reach the legacy engine's.
  const std::vector<std::string> names{"lstm_use_matrix"};
  const std::vector<std::string> values{usesLanguageCorrection ? "1" : "0"};
  if (engine->Init(modelDirectory_.c_str(), kModelLanguage, tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                   false) != 0) {
    error = recognitionError(TesseractRecognitionError::modelUnavailable,
                             "The text recognizer could not load its English model from " + modelDirectory_ + ".");
    return nullptr;
  }
  // The tesseract command line's default: find the blocks and columns.
  engine->SetPageSegMode(tesseract::PSM_AUTO);
  engine_ = std::move(engine);
  engineUsesLanguageCorrection_ = usesLanguageCorrection;
  return engine_.get();
}

}  // namespace tarnwick
