#include "tesseract/tesseract_line_recognition.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <numeric>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>

#include "platform/library_setup.h"
#include "platform/unicode.h"

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

// Below this a lone symbol at the end of a line is taken for a drawn mark.
constexpr float kStrayMarkConfidence = 0.8F;
// A symbol at least this wide beside its height is drawn rather than written.
constexpr float kSquatShare = 0.8F;

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

struct Word {
  std::string text;
  float confidence;
  bool squat;  // about as wide as tall, as icons and checkboxes are
};

// An icon, a checkbox or a bullet drawn beside the text of a line reads as
// one symbol that is neither letter nor digit, and reads unsure or as wide
// as a letter is tall. A bracket that opens the line or closes it is text.
bool isStrayMark(const Word& word, std::string_view textBracket) {
  const bool oneByte = word.text.size() == 1;
  const bool oneSymbol = !word.text.empty() && (oneByte || graphemeClusterCount(word.text) == 1);
  if (!oneSymbol || (oneByte && (std::isalnum(static_cast<unsigned char>(word.text[0])) ||
                                 textBracket.find(word.text[0]) != std::string_view::npos)))
    return false;
  return word.confidence < kStrayMarkConfidence || word.squat;
}

// The recognized words joined by spaces, less stray marks at either end;
// the confidence is the mean of the words kept.
RecognizedText wordsOf(tesseract::TessBaseAPI& engine) {
  std::vector<Word> words;
  const std::unique_ptr<tesseract::ResultIterator> word(engine.GetIterator());
  if (word) do {
      const TextPtr text(word->GetUTF8Text(tesseract::RIL_WORD));
      int left = 0, top = 0, right = 0, bottom = 0;
      word->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom);
      const bool squat = right - left >= kSquatShare * static_cast<float>(bottom - top);
      if (text) words.push_back({text.get(), word->Confidence(tesseract::RIL_WORD) / 100.0F, squat});
    } while (word->Next(tesseract::RIL_WORD));
  // Screen fonts draw the capital I as a plain bar, which the model reads as
  // one; after the end of a sentence it can only be the pronoun.
  const auto endsSentence = [](const std::string& word) {
    return !word.empty() && std::string_view(".?!").find(word.back()) != std::string_view::npos;
  };
  for (std::size_t after = 1; after < words.size(); ++after)
    if (words[after].text == "|" && endsSentence(words[after - 1].text)) words[after].text = "I";
  // A line of one symbol is text of its own: a closing brace, a bullet.
  if (words.size() > 1 && isStrayMark(words.front(), "([{<")) words.erase(words.begin());
  if (words.size() > 1 && isStrayMark(words.back(), ")]}>")) words.pop_back();
  RecognizedText reading{.string = "", .confidence = 0};
  for (const Word& kept : words) {
    reading.string += (reading.string.empty() ? "" : " ") + kept.text;
    reading.confidence += kept.confidence / static_cast<float>(words.size());
  }
  return reading;
}

RecognizedText readLine(tesseract::TessBaseAPI& engine, const GreyImage& line) {
  if (line.width <= 0 || line.height <= 0) return {};
  const PixPtr pix = pixOf(line);
  if (!pix) return {};
  engine.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
  engine.SetImage(pix.get());
  engine.SetSourceResolution(kAssumedResolution);
  if (engine.Recognize(nullptr) != 0) {
    engine.Clear();
    return {};
  }
  RecognizedText reading = wordsOf(engine);
  engine.Clear();
  return reading;
}

// Lines shared out between engines: each takes the largest line no engine
// has taken, draws it and reads it, so the long lines go first and the
// engines finish together.
class LineQueue {
 public:
  explicit LineQueue(const LinesToRead& lines)
      : lines_(lines), order_(lines.pixels.size()), readings_(lines.pixels.size()) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(), [&](auto a, auto b) { return lines.pixels[a] > lines.pixels[b]; });
  }

  void readWith(tesseract::TessBaseAPI& engine) {
    for (std::size_t taken = next_++; taken < order_.size(); taken = next_++)
      readings_[order_[taken]] = readLine(engine, lines_.draw(order_[taken]));
  }

  std::vector<RecognizedText> readings() && { return std::move(readings_); }

 private:
  const LinesToRead& lines_;
  std::vector<std::size_t> order_;
  std::vector<RecognizedText> readings_;
  std::atomic<std::size_t> next_ = 0;
};

// Engines already loading or loaded cost nothing more to read with; each
// engine more is worth kPixelsPerExtraEngine of lines, as it must load first.
std::size_t enginesFor(const LinesToRead& lines, std::size_t started) {
  const std::int64_t pixels = std::accumulate(lines.pixels.begin(), lines.pixels.end(), std::int64_t{0});
  const auto wanted = std::max(started, static_cast<std::size_t>(1 + pixels / kPixelsPerExtraEngine));
  return std::min({wanted, lines.pixels.size(), usableCores(), kMaxEngines});
}

}  // namespace

TesseractLineRecognition::TesseractLineRecognition() : TesseractLineRecognition(TARNWICK_TESSDATA_DIR) {}

TesseractLineRecognition::TesseractLineRecognition(std::string modelDirectory)
    : modelDirectory_(std::move(modelDirectory)), engines_(kMaxEngines) {
  // Tesseract's word lists live in a cache that is a function-level static.
  // Made before this object, it is destroyed after it, so an engine kept in
  // a static recognizer can still hand its word lists back at exit.
  tesseract::TessBaseAPI::ClearPersistentCache();
  // The model loads while the image is decoded and its lines are found; the
  // tool asks for language correction. Most pages give a second engine lines
  // enough to read, and loaded only once they are found it would leave its
  // core idle for the length of its load: where there is a second core, the
  // second engine loads now too.
  const std::size_t preloaded = std::min<std::size_t>(2, usableCores());
  for (std::size_t engine = 0; engine < preloaded; ++engine) engines_[engine].load(modelDirectory_, true);
}

TesseractLineRecognition::~TesseractLineRecognition() = default;

void TesseractLineRecognition::waitUntilLoaded() {
  for (Engine& engine : engines_) engine.ready();
}

LineReadings TesseractLineRecognition::readLines(const LinesToRead& lines, bool usesLanguageCorrection) {
  std::size_t started = 0;
  while (started < engines_.size() && engines_[started].startedFor(usesLanguageCorrection)) ++started;
  const std::size_t engineCount = enginesFor(lines, started);
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
  if (startedFor(usesLanguageCorrection)) return;
  if (loading_.valid()) loading_.get();
  usesLanguageCorrection_ = usesLanguageCorrection;
  engine_.reset();
  loading_ = std::async(std::launch::async, [modelDirectory, usesLanguageCorrection] {
    limitOpenMPToCallingThread();
    auto engine = std::make_unique<tesseract::TessBaseAPI>();
    // The LSTM engine loads its own word lists unless lstm_use_matrix is off;
    // load_system_dawg and load_freq_dawg only reach the legacy engine's.
    // Every line comes prepared dark on light: reading a weak line a second
    // time inverted, as invert_threshold has the engine do, only doubles the
    // cost of the lines that cost most.
    const std::vector<std::string> names{"lstm_use_matrix", "invert_threshold"};
    const std::vector<std::string> values{usesLanguageCorrection ? "1" : "0", "0"};
    if (engine->Init(modelDirectory.c_str(), kModelLanguage, tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                     false) != 0)
      return std::unique_ptr<tesseract::TessBaseAPI>();
    return engine;
  });
}

bool TesseractLineRecognition::Engine::startedFor(bool usesLanguageCorrection) const {
  return (loading_.valid() || engine_) && usesLanguageCorrection_ == usesLanguageCorrection;
}

tesseract::TessBaseAPI* TesseractLineRecognition::Engine::ready() {
  if (loading_.valid()) engine_ = loading_.get();
  return engine_.get();
}

}  // namespace tarnwick
