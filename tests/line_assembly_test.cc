// How recognized readings become lines, text and notes, the Unicode rules
// they rest on, and the bytes of every line the tool prints; and, beside the
// reading-order tables of the line reading tests, a line found in many pieces.
#include "recognition/line_assembly.h"

#include "platform/unicode.h"
#include "recognition/reading_order.h"
#include "report/json_report.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using V = std::vector<std::string>;

TextObservation reading(std::string text, float confidence = 0.9F) { return {{{std::move(text), confidence}}}; }

TEST(LineAssembly, KeepsTrimmedLinesInOrderAndNotesWeakOrShortReadings) {
  const std::string twelve = "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301";
  const std::string none = "no text recognized", shortOne = "weak_ocr: very short recognition";
  // The readings; the lines; the notes after the two fixed ones.
  const std::tuple<std::vector<TextObservation>, V, V> cases[] = {
      {{}, {}, {none}},
      {{TextObservation{}, reading("", 0.1F), reading(" \t\n\u00A0\u3000", 0.1F)}, {}, {none}},
      {{reading("  a\nb \n")}, {"a\nb"}, {shortOne}}, {{reading(twelve)}, {twelve}, {}},
      {{reading("Hello world.")}, {"Hello world."}, {}}, {{reading("Hello world")}, {"Hello world"}, {shortOne}},
      {{reading("Hi", 0.3F)}, {"Hi"}, {"weak_ocr: 1 low-confidence line(s)", shortOne}},
      {{reading("first", 0.1F), reading("   ", 0.1F), reading("second", 0.39F), reading("third", 0.4F)},
       {"first", "second", "third"}, {"weak_ocr: 2 low-confidence line(s)"}},
      {{TextObservation{{{"first", 0.9F}, {"second", 0.1F}}}, reading("b")}, {"first", "b"}, {}}};
  for (const auto& [observations, lines, warnings] : cases) {
    const OcrResult result = assembleResult(observations);
    V notes{"provider vision_mac", "recognition_languages en-US"};
    notes.insert(notes.end(), warnings.begin(), warnings.end());
    std::string text;
    for (const auto& line : lines) text += (text.empty() ? "" : "\n") + line;
    EXPECT_EQ(std::tie(result.lines, result.text, result.provider, result.confidence_notes),
              std::tie(lines, text, "vision_mac", notes));
  }
}

// A detector may find a line's words as pieces of one height: however many,
// all with one middle, they read as one line, left to right.
TEST(ReadingOrder, ManyPiecesOfOneLineReadLeftToRight) {
  std::vector<TextLineBox> pieces;
  for (float left = 390; left >= 0; left -= 10)
    pieces.push_back({{Point{left, 0}, Point{left + 8, 0}, Point{left + 8, 10}, Point{left, 10}}});
  VisualLine leftToRight;
  for (std::size_t piece = pieces.size(); piece-- > 0;) leftToRight.push_back(piece);
  EXPECT_EQ(readingOrder(pieces), std::vector<VisualLine>{leftToRight});
}

TEST(UnicodeText, TrimsWhitespaceCountsCharactersAndMendsBadBytes) {
  // The bytes; as mended, "" when valid; trimmed if valid, and its length
  // in user-perceived characters.
  const std::tuple<std::string, std::string, std::string, std::size_t> cases[] = {
      {"\t\n\v\f\r \u0085\u00A0\u2028\u3000a\u0301 b\u3000\r\t", "", "a\u0301 b", 3},
      {"Hello world", "", "Hello world", 11}, {std::string("a\0b", 3), "", std::string("a\0b", 3), 3},
      {"\U0001F1E9\U0001F1EA ab\r\ncd", "", "\U0001F1E9\U0001F1EA ab\r\ncd", 7},
      {"\xFF-abc", "\uFFFD-abc", "", 0}, {"abc\xC3", "abc\uFFFD", "", 0},
      {"a\xC0\xAF", "a\uFFFD\uFFFD", "", 0}, {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD", "", 0}};
  for (const auto& [bytes, mended, trimmed, characters] : cases) {
    EXPECT_EQ(std::pair(isValidUtf8(bytes), replacingInvalidUtf8(bytes)),
              std::pair(mended.empty(), mended.empty() ? bytes : mended));
    if (!mended.empty()) continue;
    EXPECT_EQ(std::pair(trimWhitespaceAndNewlines(bytes), graphemeClusterCount(trimmed)),
              std::pair(trimmed, characters));
  }
  // Only the bytes given are read, whatever follows them.
  EXPECT_EQ(std::tuple(isValidUtf8({"ab\xFF", 2}), replacingInvalidUtf8({"ab\xFF", 2}),
                       trimWhitespaceAndNewlines({"   ", 2})),
            std::tuple(true, "ab", ""));
}

TEST(ReportLine, IsTheRecordAsCompactJsonWithSortedKeysOrItsFixedFallback) {
  const std::vector<std::string> fixed{"provider vision_mac", "recognition_languages en-US"};
  const std::string notes = R"({"confidence_notes":["provider vision_mac","recognition_languages en-US")";
  const std::pair<Outcome, std::string> cases[] = {
      {OcrResult{"", {}, "vision_mac", {fixed[0], fixed[1], "no text recognized"}},
       notes + R"(,"no text recognized"],"lines":[],"provider":"vision_mac","text":""})"},
      {OcrResult{"a\nb\nc", {"a", "b", "c"}, "vision_mac", fixed},
       notes + R"(],"lines":["a","b","c"],"provider":"vision_mac","text":"a\nb\nc"})"},
      // Quotation mark, reverse solidus, solidus and control characters
      // escaped; space, DEL and all else as their UTF-8 bytes.
      {OcrResult{"q\"b\\s/t\tr\rc\x01\x1F \x7F Grüße 🇩🇪", {"1/2"}, "vision_mac", fixed},
       notes + R"(],"lines":["1\/2"],"provider":"vision_mac","text":"q\"b\\s\/t\tr\rc\u0001\u001f )"
               "\x7F Grüße 🇩🇪\"}"},
      {RecognitionError{"usage: tarnwick <image-path>"},
       R"({"confidence_notes":["usage: tarnwick <image-path>"],"lines":[],"provider":"unavailable","text":""})"},
      {RecognitionError{""}, R"({"confidence_notes":[""],"lines":[],"provider":"unavailable","text":""})"},
      {OcrResult{"bad \xC3\x28 bytes", {}, "vision_mac", {}},
       R"({"text":"","lines":[],"provider":"vision_mac","confidence_notes":["json encode failed"]})"},
      {OcrResult{"", {"fine", "bad \xFF"}, "vision_mac", fixed}, kResultFallbackLine},
      {RecognitionError{"bad \xC3\x28 bytes"},
       R"({"text":"","lines":[],"provider":"unavailable","confidence_notes":["error"]})"}};
  for (const auto& [outcome, line] : cases) EXPECT_EQ(reportLine(outcome), line + "\n") << line;
  for (const auto& [outcome, line] : cases) testing::parseReportLine(line + "\n");
}

}  // namespace
}  // namespace tarnwick
