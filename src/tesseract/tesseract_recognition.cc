#include "tesseract/tesseract_recognition.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <future>
#include <iterator>
#include <mutex>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include "platform/library_setup.h"
#include "platform/unicode.h"

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

// Pages from this size up have their lines read by two engines: a receipt or
// a small table already gains, a one-line snippet would not repay the second
// model load.
constexpr std::int64_t kSharedPagePixels = std::int64_t{500} * 500;

struct PixDestroy {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDestroy>;

struct DeleteText {
  void operator()(char* text) const { delete[] text; }
};
using TextPtr = std::unique_ptr<char[], DeleteText>;

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

// The engine keeps the image and its results until the next one; a kept
// engine should not hold on to a large page.
class ImageOnEngine {
 public:
  ImageOnEngine(tesseract::TessBaseAPI& engine, Pix* image, tesseract::PageSegMode mode) : engine_(engine) {
    engine_.SetPageSegMode(mode);
    engine_.SetImage(image);
    engine_.SetSourceResolution(kAssumedResolution);
  }
  ~ImageOnEngine() { engine_.Clear(); }
  ImageOnEngine(const ImageOnEngine&) = delete;
  ImageOnEngine& operator=(const ImageOnEngine&) = delete;

 private:
  tesseract::TessBaseAPI& engine_;
};

struct Box {
  int left, top, width, height;
};

// The pieces the engine would read one by one within each line of a page: in
// a table, the cells of a row are separate pieces, and the rules between them
// are in none.
struct Layout {
  struct Line {
    std::size_t firstPiece;
    bool recovered;  // found by the sparse-text search alone
  };
  std::vector<Box> pieces;
  std::vector<Line> lines;
};

// Room around a piece's ink, as the engine leaves around the pieces it cuts
// out of a page itself; above and below, a quarter of the line's height more,
// about the leading of single-spaced text: the recognizer reads a line
// better with some of the space around it.
constexpr int kPiecePadding = 4;
constexpr int kLinesPerVerticalPadding = 4;

// Appends the lines layout analysis finds on the page in `mode`, in reading
// order, marked `recovered` or not. Pictures are left out, and so are rules,
// which come back as blocks of blank lines.
void appendLines(tesseract::TessBaseAPI& engine, Pix* page, tesseract::PageSegMode mode, bool recovered,
                 Layout& layout) {
  const ImageOnEngine session(engine, page, mode);
  // Words close enough to be read as one piece are merged, as the engine
  // merges them for its line recognizer. No iterator means no blocks.
  const std::unique_ptr<tesseract::PageIterator> word(engine.AnalyseLayout(true));
  if (!word || word->Empty(tesseract::RIL_BLOCK)) return;
  const int pageWidth = pixGetWidth(page), pageHeight = pixGetHeight(page);
  int left = 0, top = 0, right = 0, bottom = 0, lineTop = 0, lineBottom = 0;
  do {
    const tesseract::PolyBlockType block = word->BlockType();
    if (tesseract::PTIsImageType(block) || tesseract::PTIsLineType(block)) continue;
    const bool startsLine = word->IsAtBeginningOf(tesseract::RIL_TEXTLINE);
    // A piece is cut as tall as its line: the recognizer scales what it is
    // given to one height, so a piece without ascenders or descenders would
    // be read larger than it is.
    if (startsLine && !word->BoundingBox(tesseract::RIL_TEXTLINE, &left, &lineTop, &right, &lineBottom)) continue;
    if (!word->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom)) continue;
    const int verticalPadding = kPiecePadding + (lineBottom - lineTop) / kLinesPerVerticalPadding;
    left = std::max(0, left - kPiecePadding), top = std::max(0, std::min(top, lineTop) - verticalPadding);
    right = std::min(pageWidth, right + kPiecePadding);
    bottom = std::min(pageHeight, std::max(bottom, lineBottom) + verticalPadding);
    if (right <= left || bottom <= top) continue;
    if (startsLine || layout.lines.empty()) layout.lines.push_back({layout.pieces.size(), recovered});
    layout.pieces.push_back({left, top, right - left, bottom - top});
  } while (word->Next(tesseract::RIL_WORD));
}

// Pages with a side this long or longer are searched for sparse text at half
// size, four times faster: their text is large enough to be found there, and
// the pieces found are cut from the full page.
constexpr int kHalvedSearchSide = 2000;

// The smallest box holding every piece; nullopt when there are none.
std::optional<Box> extent(const std::vector<Box>& pieces) {
  if (pieces.empty()) return std::nullopt;
  int left = pieces[0].left, top = pieces[0].top, right = left, bottom = top;
  for (const Box& piece : pieces) {
    left = std::min(left, piece.left), top = std::min(top, piece.top);
    right = std::max(right, piece.left + piece.width), bottom = std::max(bottom, piece.top + piece.height);
  }
  return Box{left, top, right - left, bottom - top};
}

// Where a search for sparse text finds text within the extent of the laid-out
// pieces, marked recovered.
Layout sparseText(tesseract::TessBaseAPI& engine, Pix* page, const Layout& laidOut) {
  Layout found;
  const std::optional<Box> area = extent(laidOut.pieces);
  if (!area) return found;
  BOX* clip = boxCreate(area->left, area->top, area->width, area->height);
  PixPtr cut(pixClipRectangle(page, clip, nullptr));
  boxDestroy(&clip);
  if (!cut) return found;
  const int scale = std::max(area->width, area->height) < kHalvedSearchSide ? 1 : 2;
  if (scale == 2) cut.reset(pixScaleAreaMap2(cut.get()));
  if (!cut) return found;
  appendLines(engine, cut.get(), tesseract::PSM_SPARSE_TEXT, true, found);
  for (Box& box : found.pieces)
    box = {area->left + scale * box.left, area->top + scale * box.top,
           std::min(scale * box.width, area->width - scale * box.left),
           std::min(scale * box.height, area->height - scale * box.top)};
  return found;
}

std::int64_t overlap(const Box& a, const Box& b) {
  const std::int64_t width = std::min(a.left + a.width, b.left + b.width) - std::max(a.left, b.left);
  const std::int64_t height = std::min(a.top + a.height, b.top + b.height) - std::max(a.top, b.top);
  return width > 0 && height > 0 ? width * height : 0;
}

// The pieces of `found` that layout analysis dropped: those lying mostly
// within the extent of the laid-out pieces but outside every one of them,
// each line's kept together. The lines it dropped lie among those it kept;
// outside them, in a photograph say, the search reads every speck.
Layout dropped(const Layout& found, const Layout& laidOut) {
  Layout kept;
  const std::optional<Box> area = extent(laidOut.pieces);
  if (!area) return kept;
  for (std::size_t line = 0; line < found.lines.size(); ++line) {
    const std::size_t end = line + 1 < found.lines.size() ? found.lines[line + 1].firstPiece : found.pieces.size();
    bool started = false;
    for (std::size_t piece = found.lines[line].firstPiece; piece < end; ++piece) {
      const Box& box = found.pieces[piece];
      const std::int64_t size = std::int64_t{box.width} * box.height;
      std::int64_t covered = 0;
      for (const Box& other : laidOut.pieces) covered += overlap(box, other);
      if (2 * overlap(box, *area) <= size || 2 * covered > size) continue;
      if (!started) kept.lines.push_back({kept.pieces.size(), found.lines[line].recovered});
      started = true;
      kept.pieces.push_back(box);
    }
  }
  return kept;
}

// Appends `more` and its readings to `layout` and its readings.
void append(Layout& layout, std::vector<RecognizedText>& readings, const Layout& more,
            std::vector<RecognizedText>& moreReadings) {
  for (const Layout::Line& line : more.lines)
    layout.lines.push_back({layout.pieces.size() + line.firstPiece, line.recovered});
  layout.pieces.insert(layout.pieces.end(), more.pieces.begin(), more.pieces.end());
  std::move(moreReadings.begin(), moreReadings.end(), std::back_inserter(readings));
}

// One piece cut from the page and read as a line of text. Each engine reads
// its share of the pieces in turn; a reading depends only on the piece's
// pixels, never on which engine read it or what that engine read before.
RecognizedText readPiece(tesseract::TessBaseAPI& engine, Pix* page, const Box& box) {
  BOX* area = boxCreate(box.left, box.top, box.width, box.height);
  const PixPtr cut(pixClipRectangle(page, area, nullptr));
  boxDestroy(&area);
  if (!cut) return {};
  const ImageOnEngine session(engine, cut.get(), tesseract::PSM_RAW_LINE);
  const TextPtr text(engine.GetUTF8Text());
  return RecognizedText{.string = text ? text.get() : "", .confidence = engine.MeanTextConf() / 100.0F};
}

// Pieces shared out between engines. Each engine takes the largest piece
// no engine has taken, until none is left: the long lines go first, so the
// engines finish close together.
struct PieceQueue {
  explicit PieceQueue(const std::vector<Box>& shared) : pieces(shared), order(pieces.size()), readings(pieces.size()) {
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto area = [this](std::size_t piece) { return std::int64_t{pieces[piece].width} * pieces[piece].height; };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return area(a) > area(b); });
  }

  void readWith(tesseract::TessBaseAPI& engine, Pix* page) {
    for (std::size_t taken = next++; taken < order.size(); taken = next++)
      readings[order[taken]] = readPiece(engine, page, pieces[order[taken]]);
  }

  const std::vector<Box>& pieces;
  std::vector<std::size_t> order;
  std::vector<RecognizedText> readings;  // in the order of `pieces`
  std::atomic<std::size_t> next = 0;
};

// Text only the sparse-text search found is kept only when read this
// confidently: pictures and specks read as text give low-confidence shapes.
constexpr float kRecoveredConfidence = 0.8F;

// Each line's pieces joined by spaces; its confidence is its least confident
// piece's.
ObservationList lineObservations(const Layout& layout, const std::vector<RecognizedText>& readings) {
  ObservationList lines;
  for (std::size_t line = 0; line < layout.lines.size(); ++line) {
    const std::size_t end = line + 1 < layout.lines.size() ? layout.lines[line + 1].firstPiece : readings.size();
    RecognizedText joined{.string = "", .confidence = 1.0F};
    for (std::size_t piece = layout.lines[line].firstPiece; piece < end; ++piece) {
      std::string text = trimWhitespaceAndNewlines(readings[piece].string);
      if (text.empty()) continue;
      if (!joined.string.empty()) joined.string += ' ';
      joined.string += text;
      joined.confidence = std::min(joined.confidence, readings[piece].confidence);
    }
    if (layout.lines[line].recovered && !(joined.confidence >= kRecoveredConfidence)) continue;
    lines.push_back(std::make_shared<TextLine>(std::move(joined)));
  }
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
      error = textRecognitionError(TextRecognitionErrorCode::unsupportedLanguage,
                               "The text recognizer does not support the language \"" + *unsupported + "\".");
      return std::nullopt;
    }
    // Reading lines is most of a large page's time, so a second engine reads
    // some of them on the other core; its model loads while the page is made
    // and laid out. Small pages would pay more for the load than it saves.
    const bool shared = buffer_.width() * std::int64_t{buffer_.height()} >= kSharedPagePixels;
    if (shared) recognition_.secondary_.load(recognition_.modelDirectory_, request.usesLanguageCorrection());
    if (!page_) page_ = greyPage(buffer_);
    if (!page_) {
      error = textRecognitionError(TextRecognitionErrorCode::recognitionFailed,
                               "The text recognizer could not read the image.");
      return std::nullopt;
    }
    // Layout analysis drops what it takes for pictures or noise: a column of
    // figures beside a smudge, a lone figure in a table cell. A search for
    // sparse text among the laid-out pieces finds them again. Neither needs
    // a model, so the page is laid out while the models load. On a shared
    // page the helper searches while this thread starts reading, and both
    // read what it found once they have read the laid-out pieces.
    Layout layout, extra;
    std::optional<PieceQueue> laidOutPieces, extraPieces;
    const auto searchForDropped = [&](tesseract::TessBaseAPI& searcher) {
      extra = dropped(sparseText(searcher, page_.get(), layout), layout);
      extraPieces.emplace(extra.pieces);
    };
    std::future<void> helping;
    std::promise<void> laidOut;  // destroyed before `helping` is joined: a helper waiting on it is released
    std::promise<void> extraFound;
    std::future<void> extraKnown = extraFound.get_future();
    if (shared)
      helping = std::async(std::launch::async, [&, laidOut = laidOut.get_future(),
                                                extraFound = std::move(extraFound)]() mutable {
        limitOpenMPToCallingThread();
        laidOut.get();
        try {
          searchForDropped(recognition_.modelless(recognition_.searchEngine_));
          extraFound.set_value();
        } catch (...) {
          extraFound.set_exception(std::current_exception());
          return;
        }
        tesseract::TessBaseAPI* helper = recognition_.secondary_.ready();
        if (helper == nullptr) return;
        laidOutPieces->readWith(*helper, page_.get());
        extraPieces->readWith(*helper, page_.get());
      });
    tesseract::TessBaseAPI& layoutEngine = recognition_.modelless(recognition_.layoutEngine_);
    appendLines(layoutEngine, page_.get(), tesseract::PSM_AUTO, false, layout);
    laidOutPieces.emplace(layout.pieces);
    laidOut.set_value();
    if (!shared) searchForDropped(layoutEngine);
    // Both recognition levels run the LSTM engine, Tesseract's accurate one;
    // a second engine would mean a second model load.
    tesseract::TessBaseAPI* engine =
        recognition_.primary_.engine(recognition_.modelDirectory_, request.usesLanguageCorrection());
    if (engine == nullptr) {
      error = textRecognitionError(TextRecognitionErrorCode::modelUnavailable,
                               "The text recognizer could not load its English model from " +
                                   recognition_.modelDirectory_ + ".");
      return std::nullopt;
    }
    laidOutPieces->readWith(*engine, page_.get());
    if (shared) extraKnown.get();
    extraPieces->readWith(*engine, page_.get());
    if (shared) helping.get();
    std::vector<RecognizedText> readings = std::move(laidOutPieces->readings);
    append(layout, readings, extra, extraPieces->readings);
    return lineObservations(layout, readings);
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
  // The model loads while the image is decoded; the tool asks for language
  // correction.
  primary_.load(modelDirectory_, true);
}

TesseractRecognition::~TesseractRecognition() = default;

std::unique_ptr<ImageRequestHandler> TesseractRecognition::makeImageRequestHandler(const PixelBuffer& buffer,
                                                                                   ImageOrientation,
                                                                                   const ImageRequestHandlerOptions&) {
  return std::make_unique<Handler>(*this, buffer);
}

void TesseractRecognition::Engine::load(const std::string& modelDirectory, bool usesLanguageCorrection) {
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

tesseract::TessBaseAPI& TesseractRecognition::modelless(std::unique_ptr<tesseract::TessBaseAPI>& engine) {
  if (!engine) {
    engine = std::make_unique<tesseract::TessBaseAPI>();
    engine->InitForAnalysePage();
    // Layout analysis tests each line for fixed-pitch type, which only the
    // legacy engine's character cells use: the fast test is enough for the
    // LSTM engine, which reads whole pieces, and saves about a tenth of the
    // layout time. The setting is global, set once before any page is laid
    // out, and every reader starts after that.
    static std::once_flag fastPitchTest;
    std::call_once(fastPitchTest, [&] { engine->SetVariable("textord_fast_pitch_test", "1"); });
  }
  return *engine;
}

tesseract::TessBaseAPI* TesseractRecognition::Engine::engine(const std::string& modelDirectory,
                                                            bool usesLanguageCorrection) {
  load(modelDirectory, usesLanguageCorrection);
  return ready();
}

tesseract::TessBaseAPI* TesseractRecognition::Engine::ready() {
  if (loading_.valid()) engine_ = loading_.get();
  return engine_.get();
}

}  // namespace tarnwick
