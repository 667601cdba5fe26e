#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>

#include <vips/vips.h>

#include "opencv/opencv_text_detection.h"
#include "platform/library_setup.h"
#include "platform/unicode.h"
#include "recognition/line_preparation.h"
#include "recognition/line_reading_recognition.h"
#include "recognition/panel_edges.h"
#include "recognition/reading_order.h"
#include "support/test_support.h"
#include "tesseract/tesseract_line_recognition.h"

namespace tarnwick {
namespace {

using V = std::vector<std::string>;

// A page width x height, each pixel the grey `greyAt` gives it.
std::unique_ptr<PixelBuffer> greyPage(int width, int height, const std::function<int(int x, int y)>& greyAt) {
  auto buffer = createPixelBuffer(width, height, kPixelFormat32BGRA).buffer;
  const BaseAddressLock lock(*buffer, LockFlags::readWrite);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(buffer->baseAddress() + y * buffer->bytesPerRow());
    for (int x = 0; x < width; ++x) row[x] = 0xFF000000U | 0x010101U * static_cast<std::uint32_t>(greyAt(x, y));
  }
  return buffer;
}

// A page of `ground` grey at least width x height, with `text` drawn in
// `ink` grey at its top left.
std::unique_ptr<PixelBuffer> page(const std::string& text, int width = 0, int height = 0, std::uint8_t ink = 0,
                                  std::uint8_t ground = 255, int pointSize = 32, int top = 0) {
  const testing::VipsImagePtr drawn = text.empty() ? nullptr : testing::renderTextImage(text, pointSize);
  const int drawnWidth = drawn && vips_image_wio_input(drawn.get()) == 0 ? drawn->Xsize : 0;
  const int drawnHeight = drawn ? drawn->Ysize : 0;
  return greyPage(std::max(width, drawnWidth), std::max(height, top + drawnHeight), [&](int x, int y) {
    const bool drawnHere = y >= top && y < top + drawnHeight && x < drawnWidth;
    const int coverage = drawnHere ? 255 - *VIPS_IMAGE_ADDR(drawn.get(), x, y - top) : 0;
    return ground + (ink - ground) * coverage / 255;
  });
}

TextLineBox box(float left, float top, float right, float bottom) {
  return {.corners = {Point{left, top}, Point{right, top}, Point{right, bottom}, Point{left, bottom}}, .score = 1};
}

// Boxes named by what a reader of each would read.
using NamedBoxes = std::vector<std::pair<std::string, TextLineBox>>;

V linesInOrder(const NamedBoxes& named, const PageDrawing& drawing = {}) {
  std::vector<TextLineBox> boxes;
  for (const auto& entry : named) boxes.push_back(entry.second);
  V lines;
  for (const VisualLine& line : readingOrder(boxes, drawing)) {
    std::string joined;
    for (const std::size_t piece : line) joined += (joined.empty() ? "" : " ") + named[piece].first;
    lines.push_back(joined);
  }
  return lines;
}

// `count` lines of running text in a column from `left` to `right`.
NamedBoxes column(const std::string& name, float left, float right, float top, float pitch, int count) {
  NamedBoxes lines;
  for (int line = 0; line < count; ++line)
    lines.emplace_back(name + std::to_string(line), box(left, top + pitch * line, right, top + pitch * line + 20));
  return lines;
}

NamedBoxes joined(std::initializer_list<NamedBoxes> parts) {
  NamedBoxes all;
  for (const NamedBoxes& part : parts) all.insert(all.end(), part.begin(), part.end());
  // The detector gives boxes in no order: neither may the result depend on it.
  std::reverse(all.begin(), all.end());
  return all;
}

TEST(ReadingOrder, ReadsColumnsOneAfterTheOtherAndRowsAcrossTheirGaps) {
  const struct {
    const char* name;
    NamedBoxes boxes;
    V lines;
  } cases[] = {
      {"two columns of running text on one baseline grid",
       joined({column("left", 0, 400, 0, 30, 3), column("right", 440, 840, 0, 30, 3)}),
       {"left0", "left1", "left2", "right0", "right1", "right2"}},
      {"receipt rows: a label and its amount",
       joined({{{"TOTAL", box(0, 0, 120, 20)}, {"12.50", box(400, 2, 460, 21)}},
               {{"CASH", box(0, 30, 90, 50)}, {"20.00", box(400, 31, 460, 50)}}}),
       {"TOTAL 12.50", "CASH 20.00"}},
      {"a heading over a sidebar and a main column",
       joined({{{"Heading", box(0, 0, 900, 30)}}, column("side", 0, 120, 60, 40, 4),
               column("main", 200, 900, 65, 25, 6)}),
       {"Heading", "side0", "side1", "side2", "side3", "main0", "main1", "main2", "main3", "main4", "main5"}},
      {"a sidebar beside a list whose rows have columns",
       joined({column("folder", 0, 100, 0, 36, 4),
               {{"Alice", box(200, 0, 300, 20)}, {"Your order", box(400, 1, 700, 21)}},
               {{"Bob", box(200, 45, 260, 65)}, {"Lunch?", box(400, 45, 520, 65)}},
               {{"Carol", box(200, 90, 290, 110)}, {"Minutes", box(400, 91, 560, 111)}}}),
       {"folder0", "folder1", "folder2", "folder3", "Alice Your order", "Bob Lunch?", "Carol Minutes"}},
      {"a line split at a wide word gap, slightly skewed",
       joined({{{"Copy", box(10, 10, 60, 28)}, {"Ctrl+C", box(300, 12, 360, 30)}},
               {{"Paste", box(10, 40, 70, 58)}, {"Ctrl+V", box(300, 41, 360, 59)}}}),
       {"Copy Ctrl+C", "Paste Ctrl+V"}},
      {"an editor's line numbers, shorter than the code beside them, each on its line",
       joined({{{"1", box(0, 3, 8, 13)}, {"import re", box(40, 0, 120, 17)}},
               {{"2", box(0, 21, 8, 31)}, {"from x import y", box(40, 18, 200, 35)}},
               {{"3", box(0, 39, 8, 49)}}, {{"4", box(0, 57, 8, 67)}, {"PATTERN = 1", box(40, 54, 150, 71)}}}),
       {"1 import re", "2 from x import y", "3", "4 PATTERN = 1"}},
      {"a small mark within the height of a label and a field",
       joined({{{"Language", box(0, 0, 70, 17)}, {"English", box(300, 0, 400, 15)}, {"v", box(420, 4, 428, 12)}}}),
       {"Language English v"}},
      {"lines of very different sizes never share a line",
       joined({{{"Title", box(0, 0, 300, 60)}, {"note", box(320, 20, 380, 36)}}}), {"Title", "note"}},
      {"chat bubbles from either side, each with its time at its right",
       joined({{{"Hi", box(20, 0, 420, 20)}, {"09:14", box(380, 25, 420, 37)}},
               {{"Hello", box(400, 50, 700, 70)}, {"09:16", box(760, 75, 800, 87)}},
               {{"Type", box(20, 110, 140, 130)}, {"Send", box(750, 110, 790, 130)}}}),
       {"Hi", "09:14", "Hello", "09:16", "Type Send"}},
      {"log rows whose fields the detector parts",
       joined({{{"10:42:07", box(0, 0, 190, 14)}, {"INFO", box(214, 0, 252, 14)}, {"http", box(272, 0, 308, 14)},
                {"Listening", box(347, 0, 551, 14)}},
               {{"10:42:09", box(0, 18, 190, 32)}, {"WARN", box(214, 18, 252, 32)}, {"db", box(272, 18, 292, 32)},
                {"Slow", box(347, 18, 703, 32)}}}),
       {"10:42:07 INFO http Listening", "10:42:09 WARN db Slow"}},
      {"a toolbar and a status bar across a sidebar and a panel",
       joined({{{"Move Frame", box(10, 0, 330, 14)}, {"Zoom", box(880, 0, 950, 14)}}, column("layer", 10, 100, 40, 24, 3),
               column("canvas", 330, 580, 45, 35, 2), column("property", 740, 950, 52, 21, 3),
               {{"Saved", box(10, 200, 320, 214)}, {"1440", box(890, 200, 950, 214)}}}),
       {"Move Frame Zoom", "layer0", "layer1", "layer2", "canvas0", "canvas1", "property0", "property1", "property2",
        "Saved 1440"}},
      {"a menu open beside a document, under the document's menu bar",
       joined({{{"File", box(16, 6, 41, 20)}, {"Edit", box(58, 5, 87, 20)}, {"View", box(105, 5, 138, 21)},
                {"Insert", box(153, 6, 261, 20)}, {"Tools", box(277, 7, 313, 20)}, {"Help", box(328, 7, 361, 21)}},
               {{"Notes", box(41, 58, 249, 77)}, {"doc0", box(39, 94, 474, 110)}, {"doc1", box(39, 119, 351, 134)},
                {"doc2", box(40, 154, 477, 170)}, {"doc3", box(39, 177, 101, 195)}, {"doc4", box(39, 213, 301, 231)}},
               {{"Undo", box(556, 52, 637, 71)}, {"Ctrl+Z", box(799, 53, 845, 69)}},
               {{"Redo", box(555, 82, 591, 97)}, {"Ctrl+Y", box(799, 81, 845, 97)}},
               {{"Cut", box(555, 120, 582, 136)}, {"Ctrl+X", box(799, 119, 845, 136)}},
               {{"Copy", box(555, 148, 590, 166)}, {"Ctrl+C", box(798, 148, 845, 163)}},
               {{"Paste", box(555, 177, 593, 192)}, {"Ctrl+V", box(799, 177, 845, 192)}},
               {{"Paste plain", box(556, 204, 718, 220)}, {"Ctrl+Shift+V", box(759, 205, 843, 219)}},
               {{"Delete", box(555, 233, 601, 247)}, {"Del", box(819, 233, 845, 247)}},
               {{"Select all", box(555, 271, 619, 287)}, {"Ctrl+A", box(798, 271, 845, 287)}}}),
       {"File Edit View Insert Tools Help", "Notes", "doc0", "doc1", "doc2", "doc3", "doc4", "Undo Ctrl+Z",
        "Redo Ctrl+Y", "Cut Ctrl+X", "Copy Ctrl+C", "Paste Ctrl+V", "Paste plain Ctrl+Shift+V", "Delete Del",
        "Select all Ctrl+A"}},
      {"a heading and its caption with buttons at the right of them",
       joined({{{"Orders", box(0, 28, 80, 47)}, {"57 orders in 30 days", box(0, 54, 200, 71)}},
               {{"Status: All", box(600, 38, 680, 53)}, {"Export CSV", box(860, 39, 940, 55)}}}),
       {"Orders Status: All Export CSV", "57 orders in 30 days"}},
      {"nothing", {}, {}},
  };
  for (const auto& [name, boxes, lines] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(linesInOrder(boxes), lines);
  }
}

TEST(ReadingOrder, ReadsPanelsSideBySideOneAfterTheOther) {
  // Two cards, each a label over its figure; two fields of a form.
  const NamedBoxes cards = joined({{{"Revenue", box(20, 0, 120, 14)}, {"Users", box(260, 0, 340, 14)}},
                                   {{"$48,210", box(20, 20, 160, 50)}, {"3,842", box(260, 20, 360, 50)}}});
  const NamedBoxes fields = joined({{{"Jane", box(20, 0, 80, 14)}, {"Doe", box(260, 0, 300, 14)}}});
  const PageDrawing edge{.edgeDown = [](float left, float right, float, float) { return left < 200 && 200 < right; },
                         .ruleAcross = {}};
  EXPECT_EQ(linesInOrder(cards, edge), (V{"Revenue", "$48,210", "Users", "3,842"}));
  EXPECT_EQ(linesInOrder(cards), (V{"Revenue Users", "$48,210 3,842"})) << "a table's rows";
  EXPECT_EQ(linesInOrder(fields, edge), (V{"Jane Doe"}));
}

TEST(PanelEdges, RunDownBetweenCardsButNotThroughATableAndRulesAcross) {
  const auto drawn = [](bool cardEdges, bool rule) {
    auto buffer = page("", 200, 100);
    const BaseAddressLock lock(*buffer, LockFlags::readWrite);
    for (int y = 0; y < 100; ++y) {
      auto* row = reinterpret_cast<std::uint32_t*>(buffer->baseAddress() + y * buffer->bytesPerRow());
      if (cardEdges) row[90] = row[110] = 0xFFC0C0C0U;
      if (rule && y == 50) std::fill_n(row, 200, 0xFFC0C0C0U);
    }
    return buffer;
  };
  EXPECT_TRUE(panelEdgeRunsDown(*drawn(true, false), 60, 140, 10, 90));
  EXPECT_FALSE(panelEdgeRunsDown(*drawn(true, true), 60, 140, 10, 90)) << "a grid";
  EXPECT_FALSE(panelEdgeRunsDown(*drawn(false, false), 60, 140, 10, 90));
  EXPECT_TRUE(ruleRunsAcross(*drawn(true, true), 0, 200, 40, 60));
  EXPECT_FALSE(ruleRunsAcross(*drawn(true, false), 0, 200, 40, 60)) << "edges down are no rule across";
}

TEST(ReadingOrder, JoinsCloseLevelPiecesOfALineButNotMarksOrSlantedOnes) {
  const auto extents = [](const std::vector<TextLineBox>& boxes) {
    std::vector<std::array<float, 4>> found;
    for (const TextLineBox& b : boxes) found.push_back({b.corners[0].x, b.corners[0].y, b.corners[2].x, b.corners[2].y});
    std::sort(found.begin(), found.end());
    return found;
  };
  TextLineBox slanted = box(0, 100, 200, 120);
  slanted.corners[1].y = slanted.corners[2].y = 130;
  const std::vector<TextLineBox> boxes = {box(0, 0, 190, 14),    box(200, 1, 250, 15),  // one row, 10 apart
                                          box(300, 0, 340, 14),                        // 50 apart: a field of its own
                                          box(0, 40, 12, 52),    box(20, 40, 200, 52),  // a checkbox and its label
                                          slanted,               box(205, 110, 300, 130)};
  EXPECT_EQ(extents(joinedPiecesOfLines(boxes)),
            (std::vector<std::array<float, 4>>{{0, 0, 250, 15}, {0, 40, 12, 52}, {0, 100, 200, 130},
                                               {20, 40, 200, 52}, {205, 110, 300, 130}, {300, 0, 340, 14}}));
}

// Minimum and maximum grey of the line, and the mean of its outermost rows.
struct Tones {
  int darkest = 255, lightest = 0;
  double edge = 0;
};

Tones tonesOf(const GreyImage& line) {
  Tones tones;
  for (const std::uint8_t grey : line.pixels)
    tones.darkest = std::min<int>(tones.darkest, grey), tones.lightest = std::max<int>(tones.lightest, grey);
  for (int x = 0; x < line.width; ++x) tones.edge += line.at(x, 0) + line.at(x, line.height - 1);
  tones.edge /= 2.0 * line.width;
  return tones;
}

TEST(LinePreparation, GivesTheRecognizerDarkTextOnLightAtOneHeight) {
  const struct {
    const char* name;
    std::unique_ptr<PixelBuffer> page;
    TextLineBox box;
    int height;  // of the prepared line: the text's, scaled, with the margins
  } cases[] = {
      {"black on white", page("Save", 0, 0, 0, 255), box(0, 0, 120, 64), 64},
      {"white on a dark button", page("Save", 0, 0, 255, 40), box(0, 0, 120, 64), 64},
      {"grey on grey", page("Save", 0, 0, 110, 150), box(0, 0, 120, 64), 64},
      {"small text is enlarged", page("Save", 0, 0, 0, 255), box(0, 40, 120, 56), 64},
      {"at most four times", page("Save", 0, 0, 0, 255, 8), box(0, 7, 30, 17), 56},
      {"large text is reduced", page("Save", 400, 400, 0, 255), box(0, 0, 400, 192), 64},
  };
  for (const auto& [name, buffer, where, height] : cases) {
    SCOPED_TRACE(name);
    const GreyImage line = prepareLine(GreyView(*buffer), where);
    ASSERT_EQ(line.height, height);
    ASSERT_EQ(line.pixels.size(), static_cast<std::size_t>(line.width) * line.height);
    const Tones tones = tonesOf(line);
    EXPECT_LT(tones.darkest, 40);
    EXPECT_GT(tones.lightest, 215);
    EXPECT_GT(tones.edge, 200) << "the ground is light";
  }
  EXPECT_TRUE(prepareLine(GreyView(*page("", 10, 10)), box(5, 5, 5, 5)).pixels.empty()) << "a box of no size";
}

// An upright box is drawn by a quicker route than a slanted one: both must
// sample the page alike, at any scale and at the page's edges, so a box tilted
// by a hair comes out as the upright one does.
TEST(LinePreparation, DrawsAnUprightBoxAsItsSlantedTwin) {
  const auto small = page("Save", 0, 0, 0, 255), large = page("Save", 400, 400, 0, 255);
  const struct {
    const char* name;
    const PixelBuffer& page;
    TextLineBox box;
  } cases[] = {
      {"enlarged", *small, box(0, 40, 120, 56)},
      {"reduced", *large, box(0, 0, 400, 192)},
      {"reaching past the page", *small,
       box(-6, -3, static_cast<float>(small->width() + 6), static_cast<float>(small->height() + 3))},
  };
  for (const auto& [name, buffer, upright] : cases) {
    SCOPED_TRACE(name);
    TextLineBox tilted = upright;
    tilted.corners[1].y += 0.001F, tilted.corners[2].y += 0.001F;
    const GreyImage drawn = prepareLine(GreyView(buffer), upright), twin = prepareLine(GreyView(buffer), tilted);
    ASSERT_EQ(std::pair(drawn.width, drawn.height), std::pair(twin.width, twin.height));
    int worst = 0;
    for (std::size_t at = 0; at < drawn.pixels.size(); ++at) worst = std::max(worst, std::abs(drawn.pixels[at] - twin.pixels[at]));
    EXPECT_LE(worst, 2);
    EXPECT_LT(tonesOf(drawn).darkest, 40) << "text was drawn";
  }
}

// Small text is enlarged so much that its strokes are mostly blended edge:
// stretching them must not close the gaps between close letters. On a
// photo's grainy ground, where the darkest pixels are specks of noise, the
// strokes must still reach black.
TEST(LinePreparation, KeepsThinStrokesApartAndBlack) {
  for (const bool grainy : {false, true}) {
    SCOPED_TRACE(grainy ? "grainy ground" : "flat ground");
    const auto buffer = greyPage(40, 12, [&](int x, int y) {
      // Two strokes a pixel wide with a pixel between, each blended into
      // its neighbours as antialiased text is.
      const bool ink = y >= 2 && y < 10 && (x == 18 || x == 20);
      const bool edge = y >= 2 && y < 10 && (x == 17 || x == 19 || x == 21);
      const bool speck = grainy && y == 0 && x % 8 == 0;
      const int ground = grainy ? 200 + 25 * ((x + y) % 3) : 250;
      return speck ? 0 : ink ? 60 : edge ? 170 : ground;
    });
    const GreyImage line = prepareLine(GreyView(*buffer), box(0, 0, 40, 12));
    ASSERT_EQ(line.height, 12 * 4 + 16);
    const auto at = [&](float pageX) { return line.at(static_cast<int>(8 + pageX * 4), line.height / 2); };
    EXPECT_LT(at(18), grainy ? 20 : 60);
    EXPECT_LT(at(20), grainy ? 20 : 60);
    if (!grainy) {
      EXPECT_GT(at(19), 120) << "the gap between the strokes";
    }
  }
}

class FakeDetection final : public TextDetection {
 public:
  TextDetectionResult result;
  TextDetectionResult detectLines(const PixelBuffer&) override { return result; }
};

// Reads each line as the width of its image, in pixels, but for lines 136
// pixels wide, which it reads as a rule of asterisks, and 64 wide (a square
// box of 16), which it reads as the letter O. A box 16 high prepared for a
// second look (at 2.25 times, with margins) reads with `otherHeightConfidence`.
class FakeLineReading final : public LineRecognition {
 public:
  std::optional<PlatformError> error;
  float symbolConfidence = 0;
  float otherHeightConfidence = 0;
  LineReadings readLines(const LinesToRead& lines, bool) override {
    LineReadings read{.readings = {}, .error = error};
    for (std::size_t drawn = 0; drawn < lines.pixels.size(); ++drawn) {
      const GreyImage line = lines.draw(drawn);
      read.readings.push_back(line.height == 36 + 16 ? RecognizedText{std::to_string(line.width), otherHeightConfidence}
                              : line.width == 136        ? RecognizedText{"***", symbolConfidence}
                              : line.width == 64         ? RecognizedText{"O", 0.9F}
                                                         : RecognizedText{std::to_string(line.width) + " ", 0.9F});
    }
    return read;
  }
};

struct Perform {
  bool succeeded = false;
  std::optional<PlatformError> error;
  V lines;
};

Perform perform(TextRecognition& recognition, const PixelBuffer& buffer, const V& languages = {"en-US"}) {
  TextRecognitionRequest request([](TextRecognitionRequest&, const PlatformError*) {});
  request.setRecognitionLanguages(languages);
  Perform done;
  done.succeeded = recognition.makeImageRequestHandler(buffer, ImageOrientation::up, {})->performRequests({&request}, done.error);
  for (const auto& observation : request.results().value_or(ObservationList{}))
    for (const RecognizedText& candidate : dynamic_cast<const RecognizedTextObservation&>(*observation).topCandidates(1))
      done.lines.push_back(candidate.string);
  return done;
}

TEST(LineReadingRecognition, ReadsTheFoundLinesInReadingOrderOrSaysWhyNot) {
  const PlatformError detectorFailure{.domain = "detector", .code = 7, .localizedDescription = "no", .description = ""};
  const PlatformError readerFailure{.domain = "reader", .code = 8, .localizedDescription = "no", .description = ""};
  const auto buffer = page("", 200, 100);
  // Boxes 40 and 20 pixels long, 16 high: prepared 3 times larger, with margins.
  const std::vector<TextLineBox> found{box(100, 50, 120, 66), box(0, 10, 40, 26), box(60, 10, 80, 26)};
  const struct {
    const char* name;
    TextDetectionResult detected;
    std::optional<PlatformError> readingError;
    float symbolConfidence;
    V languages;
    Perform expected;
    float otherHeightConfidence = 0;
  } cases[] = {
      {"lines, an unsure symbol dropped", {found, {}}, {}, 0.5F, {"en-US"}, {true, {}, {"76", "76"}}},
      {"a confident symbol", {found, {}}, {}, 0.9F, {"en-US"}, {true, {}, {"*** 76", "76"}}},
      // Only the least confident line of three is worth a second look.
      {"an unsure line read surer at another height", {found, {}}, {}, 0.5F, {"en-US"}, {true, {}, {"106 76", "76"}}, 0.6F},
      {"an unsure line read no surer", {found, {}}, {}, 0.5F, {"en-US"}, {true, {}, {"76", "76"}}, 0.4F},
      {"a page read unsure throughout", {{box(0, 10, 40, 26), box(0, 40, 40, 56)}, {}}, {}, 0.5F, {"en-US"}, {true, {}, {}},
       0.6F},
      // Left in, the mark, smaller than the title beside it, would part the page
      // into columns.
      {"a dropped mark takes no part in the layout",
       {{box(0, 14, 30, 22), box(150, 10, 180, 26), box(0, 40, 20, 56), box(0, 70, 24, 86)}, {}}, {}, 0.5F, {"en-US"},
       {true, {}, {"106", "76", "88"}}},
      {"a confident short piece half as tall as its line, a drawn arrow",
       {{box(0, 10, 20, 26), box(40, 10, 60, 26), box(64, 15, 74, 21)}, {}}, {}, 0.5F, {"en-US"}, {true, {}, {"76 76"}}},
      {"an avatar beside a name", {{box(0, 40, 16, 56), box(30, 40, 80, 56)}, {}}, {}, 0.5F, {"en-US"}, {true, {}, {"166"}}},
      {"nothing found", {{}, {}}, {}, 0.5F, {"en-US"}, {true, {}, {}}},
      {"detector fails", {found, detectorFailure}, {}, 0.5F, {"en-US"}, {false, detectorFailure, {}}},
      {"reader fails", {found, {}}, readerFailure, 0.5F, {"en-US"}, {false, readerFailure, {}}},
      {"other language", {found, {}}, {}, 0.5F, {"en-US", "fr-FR"}, {false, {}, {}}},
  };
  for (const auto& [name, detected, readingError, symbolConfidence, languages, expected, otherHeightConfidence] : cases) {
    SCOPED_TRACE(name);
    FakeDetection detection;
    detection.result = detected;
    FakeLineReading reading;
    reading.error = readingError;
    reading.symbolConfidence = symbolConfidence;
    reading.otherHeightConfidence = otherHeightConfidence;
    LineReadingRecognition recognition(detection, reading);
    const Perform done = perform(recognition, *buffer, languages);
    EXPECT_EQ(done.succeeded, expected.succeeded);
    EXPECT_EQ(done.lines, expected.lines);
    ASSERT_EQ(done.error.has_value(), !expected.succeeded);
    if (!done.error) continue;
    const PlatformError want = expected.error.value_or(
        textRecognitionError(TextRecognitionErrorCode::unsupportedLanguage, "\"fr-FR\""));
    EXPECT_EQ(done.error->domain, want.domain);
    EXPECT_EQ(done.error->code, want.code);
    EXPECT_THAT(done.error->localizedDescription, ::testing::HasSubstr(want.localizedDescription));
  }
}

// The shipped model, as the build tree has it beside the binaries.
std::string shippedModel() { return std::filesystem::path(TARNWICK_BINARY).parent_path() / TARNWICK_DETECTOR_MODEL; }

TEST(LineReadingEngines, ReadDarkAndLightPagesOfAnySizeInOneProcess) {
  initialiseLibraries();
  OpenCvTextDetection detection(shippedModel(), TARNWICK_DETECTOR_SHA256);
  TesseractLineRecognition reading;
  LineReadingRecognition recognition(detection, reading);
  const struct {
    const char* name;
    std::unique_ptr<PixelBuffer> page;
    V lines;
  } pages[] = {
      {"a dark terminal", page("cd ~/work; make\ntotal 4096", 0, 0, 220, 30), {"cd ~/work; make", "total 4096"}},
      // Another size, too large for one pass of the network: the line lies
      // across the seam of its two strips.
      {"a large light page", page("Invoice 2024-03-18", 2000, 2000, 0, 255, 32, 990), {"Invoice 2024-03-18"}},
      // Reduced as far as the page's size asks, this line is too small for
      // the network to box well: its first letter is cut off.
      {"small text on a page far wider than it", page("Invoice 2024-03-18", 3200, 240, 0, 255, 17, 100),
       {"Invoice 2024-03-18"}},
      // Hardly longer than it is tall, its box is kept upright.
      {"a short word", page("OK", 200, 80, 0, 255, 32, 10), {"OK"}},
      // DejaVu Sans draws the capital I as a bar.
      {"small sans-serif text", page("Morning! I think so.", 0, 0, 0, 255, 14), {"Morning! I think so."}},
      {"a blank page", page("", 64, 64), {}},
  };
  for (const auto& [name, buffer, lines] : pages) {
    SCOPED_TRACE(name);
    const Perform done = perform(recognition, *buffer);
    ASSERT_TRUE(done.succeeded) << done.error.value_or(PlatformError{}).localizedDescription;
    EXPECT_EQ(done.lines, lines);
  }
}

TEST(LineReadingEngines, AModelMissingOrDamagedIsAnErrorNeverACrash) {
  initialiseLibraries();
  const testing::TempDir dir;
  std::ifstream shipped(shippedModel(), std::ios::binary);
  const std::string model((std::istreambuf_iterator<char>(shipped)), std::istreambuf_iterator<char>());
  std::string flipped = model;
  flipped[flipped.size() / 2] ^= 1;
  const std::map<std::string, std::string> files{{"truncated", model.substr(0, model.size() / 2)},
                                                 {"flipped", flipped},
                                                 {"empty", ""}};
  for (const auto& [name, bytes] : files) std::ofstream(dir.file(name), std::ios::binary) << bytes;
  const auto buffer = page("Hello", 200, 80);
  for (const char* name : {"missing", "truncated", "flipped", "empty"}) {
    SCOPED_TRACE(name);
    OpenCvTextDetection detection(dir.file(name), TARNWICK_DETECTOR_SHA256);
    const TextDetectionResult result = detection.detectLines(*buffer);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, static_cast<std::int64_t>(TextRecognitionErrorCode::modelUnavailable));
    EXPECT_THAT(result.error->localizedDescription, ::testing::HasSubstr(dir.file(name)));
  }
  // As embedding programs have it: only here is Tesseract's complaint about
  // a missing model kept off standard error.
  TesseractLineRecognition modelless(dir.path());
  ::testing::internal::CaptureStderr();
  const LineReadings read =
      modelless.readLines({.pixels = {1600}, .draw = [](std::size_t) { return GreyImage(40, 40); }}, true);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(read.error);
  EXPECT_EQ(read.error->code, static_cast<std::int64_t>(TextRecognitionErrorCode::modelUnavailable));
}

}  // namespace
}  // namespace tarnwick
