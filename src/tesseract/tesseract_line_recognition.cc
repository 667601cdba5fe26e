#include "tesseract/tesseract_line_recognition.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <numeric>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>

#include "platform/library_setup.h"

namespace tarnwick {
namespace {

constexpr const char* kModelLanguage = "eng";

// Engines beyond the first cost a model load each (about 60 ms of a core and
// 20 MB): worth it only for pages with this much line to read.
constexpr std::int64_t kPixelsPerExtraEngine = std::int64_t{400} * 1000;
constexpr std::size_t kMaxEngines = 4;

// Lines carry no resolution; Tesseract's size filters assume scans of this
// density, at which our prepared line heights are ordinary text.
constexpr int kAssumedResolution = 300;

struct PixDestroy {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDestroy>;

struct DeleteText {
  void operator()(char* text) const { delete[] text; }
};
using TextPtr = std::unique_ptr<char[], DeleteText>;

// The cores this process may run on, as the scheduler allows it.
std::size_t usableCores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
  return static_cast<std::size_t>(std::max(1, CPU_COUNT(&cores)));
}

PixPtr pixOf(const GreyImage& line) {
  PixPtr pix(pixCreate(line.width, line.height, 8));
  if (!pix) return nullptr;
  l_uint32* row = pixGetData(pix.get());
  const int wordsPerLine = pixGetWpl(pix.get());
  for (int y = 0; y < line.height; ++y, row += wordsPerLine)
    for (int x = 0; x < line.width; ++x) SET_DATA_BYTE(row, x, line.at(x, y));
  return pix;
}

RecognizedText readLine(tesseract::TessBaseAPI& engine, const GreyImage& line) {
  if (line.width <= 0 || line.height <= 0) return {};
  const PixPtr pix = pixOf(line);
  if (!pix) return {};
  engine.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
  engine.SetImage(pix.get());
  engine.SetSourceResolution(kAssumedResolution);
  const TextPtr text(engine.GetUTF8Text());
  RecognizedText reading{.string = text ? text.get() : "", .confidence = engine.MeanTextConf() / 100.0F};
  engine.Clear();
  return reading;
}

// Lines shared out between engines: each takes the largest line no engine
// has taken, so the long lines go first and the engines finish together.
class LineQueue {
 public:
  explicit LineQueue(const std::vector<GreyImage>& lines) : lines_(lines), order_(lines.size()), readings_(lines.size()) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    const auto size = [&](std::size_t line) { return std::int64_t{lines[line].width} * lines[line].height; };
    std::stable_sort(order_.begin(), order_.end(), [&](auto a, auto b) { return size(a) > size(b); });
  }

  void readWith(tesseract::TessBaseAPI& engine) {
    for (std::size_t taken = next_++; taken < order_.size(); taken = next_++)
      readings_[order_[taken]] = readLine(engine, lines_[order_[taken]]);
  }

  std::vector<RecognizedText> readings() && { return std::move(readings_); }

 private:
  const std::vector<GreyImage>& lines_;
  std::vector<std::size_t> order_;
  std::vector<RecognizedText> readings_;
  std::atomic<std::size_t> next_ = 0;
};

std::size_t enginesFor(const std::vector<GreyImage>& lines) {
  std::int64_t pixels = 0;
  for (const GreyImage& line : lines) pixels += std::int64_t{line.width} * line.height;
  const auto wanted = static_cast<std::size_t>(1 + pixels / kPixelsPerExtraEngine);
  return std::min({wanted, usableCores(), kMaxEngines});
}

}  // namespace

TesseractLineRecognition::TesseractLineRecognition() : TesseractLineRecognition(TARNWICK_TESSDATA_DIR) {}

TesseractLineRecognition::TesseractLineRecognition(std::string modelDirectory)
    : modelDirectory_(std::move(modelDirectory)), engines_(kMaxEngines) {
  // Tesseract's word lists live in a cache that is a function-level static.
  // Made before this object, it is destroyed after it, so an engine kept in
  // a static recognizer can still hand its word lists back at exit.
  tesseract::TessBaseAPI::ClearPersistentCache();
  // The model loads while the image is decoded; the tool asks for language
  // correction.
  engines_[0].load(modelDirectory_, true);
}

TesseractLineRecognition::~TesseractLineRecognition() = default;

void TesseractLineRecognition::waitUntilLoaded() {
  for (Engine& engine : engines_) engine.ready();
}

LineReadings TesseractLineRecognition::readLines(const std::vector<GreyImage>& lines, bool usesLanguageCorrection) {
  const std::size_t engineCount = enginesFor(lines);
  for (std::size_t engine = 0; engine < engineCount; ++engine)
    engines_[engine].load(modelDirectory_, usesLanguageCorrection);
  LineQueue queue(lines);
  std::vector<std::future<void>> helpers;
  for (std::size_t engine = 1; engine < engineCount; ++engine)
    helpers.push_back(std::async(std::launch::async, [this, engine, &queue] {
      limitOpenMPToCallingThread();
      if (tesseract::TessBaseAPI* helper = engines_[engine].ready()) queue.readWith(*helper);
    }));
  tesseract::TessBaseAPI* first = engines_[0].ready();
  if (first != nullptr) queue.readWith(*first);
  for (std::future<void>& helper : helpers) helper.get();
  if (first == nullptr)
    return {.readings = {},
            .error = textRecognitionError(TextRecognitionErrorCode::modelUnavailable,
                                          "The text recognizer could not load its English model from " +
                                              modelDirectory_ + ".")};
  return {.readings = std::move(queue).readings(), .error = std::nullopt};
}

void TesseractLineRecognition::Engine::load(const std::string& modelDirectory, bool usesLanguageCorrection) {
  if ((loading_.valid() || engine_) && usesLanguageCorrection_ == usesLanguageCorrection) return;
  if (loading_.valid()) loading_.get();
  usesLanguageCorrection_ = usesLanguageCorrection;
  engine_.reset();
  loading_ = std::async(std::launch::async, [modelDirectory, usesLanguageCorrection] {
    limitOpenMPToCallingThread();
    auto engine = std::make_unique<tesseract::TessBaseAPI>();
    // The LSTM engine loads its own word lists unless lstm_use_matrix is off;
    // load_system_dawg and load_freq_dawg only reach the legacy engine's.
    const std::vector<std::string> names{"lstm_use_matrix"};
    const std::vector<std::string> values{usesLanguageCorrection ? "1" : "0"};
    if (engine->Init(modelDirectory.c_str(), kModelLanguage, tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                     false) != 0)
      return std::unique_ptr<tesseract::TessBaseAPI>();
    return engine;
  });
}

tesseract::TessBaseAPI* TesseractLineRecognition::Engine::ready() {
  if (loading_.valid()) engine_ = loading_.get();
  return engine_.get();
}

}  // namespace tarnwick
