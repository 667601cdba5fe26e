// How recognized readings become lines, text and notes, and the Unicode
// rules they rest on.
#include "recognition/line_assembly.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/unicode.h"

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
      {{reading("  a\nb \n")}, {"a\nb"}, {shortOne}},
      {{reading("Hello world.")}, {"Hello world."}, {}},
      {{reading("Hello world")}, {"Hello world"}, {shortOne}},
      {{reading(twelve)}, {twelve}, {}},
      {{reading("Hi", 0.3F)}, {"Hi"}, {"weak_ocr: 1 low-confidence line(s)", shortOne}},
      {{reading("first", 0.1F), reading("   ", 0.1F), reading("second", 0.39F), reading("third", 0.4F)},
       {"first", "second", "third"},
       {"weak_ocr: 2 low-confidence line(s)"}},
      {{TextObservation{{{"first", 0.9F}, {"second", 0.1F}}}, reading("b")}, {"first", "b"}, {}},
  };
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

TEST(UnicodeText, TrimsWhitespaceCountsCharactersAndMendsBadBytes) {
  // The bytes; as mended, "" when valid; trimmed if valid, and its length
  // in user-perceived characters.
  const std::tuple<std::string, std::string, std::string, std::size_t> cases[] = {
      {"\t\n\v\f\r \u0085\u00A0\u2028\u3000a\u0301 b\u3000\r\t", "", "a\u0301 b", 3},
      {"Hello world", "", "Hello world", 11},
      {"\U0001F1E9\U0001F1EA ab\r\ncd", "", "\U0001F1E9\U0001F1EA ab\r\ncd", 7},
      {std::string("a\0b", 3), "", std::string("a\0b", 3), 3},
      {"\xFF-abc", "\uFFFD-abc", "", 0},
      {"abc\xC3", "abc\uFFFD", "", 0},
      {"a\xC0\xAF", "a\uFFFD\uFFFD", "", 0},
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD", "", 0},
  };
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

}  // namespace
}  // namespace tarnwick
