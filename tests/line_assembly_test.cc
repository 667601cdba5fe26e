#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "recognition/line_assembly.h"

namespace tarnwick {
namespace {

const std::vector<std::string> kFixedNotes{"provider vision_mac", "recognition_languages en-US"};

std::vector<std::string> notesWith(std::vector<std::string> extra) {
  auto notes = kFixedNotes;
  notes.insert(notes.end(), extra.begin(), extra.end());
  return notes;
}

TextObservation reading(std::string text, float confidence = 0.9F) { return {{{std::move(text), confidence}}}; }

struct AssemblyCase {
  const char* name;
  std::vector<TextObservation> observations;
  std::vector<std::string> lines;
  std::vector<std::string> notes;
  friend void PrintTo(const AssemblyCase& c, std::ostream* os) { *os << c.name; }
};

class LineAssemblyTest : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(LineAssemblyTest, BuildsLinesTextAndNotes) {
  const auto& param = GetParam();
  const OcrResult result = assembleResult(param.observations);
  EXPECT_EQ(result.lines, param.lines);
  std::string joined;
  for (std::size_t i = 0; i < param.lines.size(); ++i) joined += (i > 0 ? "\n" : "") + param.lines[i];
  EXPECT_EQ(result.text, joined);
  EXPECT_EQ(result.provider, "vision_mac");
  EXPECT_EQ(result.confidence_notes, param.notes);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Observations, LineAssemblyTest,
    ::testing::Values(
        AssemblyCase{"none", {}, {}, notesWith({"no text recognized"})},
        AssemblyCase{"nothing_usable",
                     {TextObservation{}, reading("", 0.1F), reading(" \t\n\u00A0\u2028\u3000\u0085", 0.1F)},
                     {},
                     notesWith({"no text recognized"})},
        AssemblyCase{"trimmed_short_word", {reading("  Hello\n")}, {"Hello"}, notesWith({"weak_ocr: very short recognition"})},
        AssemblyCase{"twelve_characters", {reading("Hello world.")}, {"Hello world."}, kFixedNotes},
        AssemblyCase{"eleven_characters", {reading("Hello world")}, {"Hello world"},
                     notesWith({"weak_ocr: very short recognition"})},
        AssemblyCase{"combining_marks_are_one_character", {reading("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301")},
                     {"e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"}, kFixedNotes},
        AssemblyCase{"flag_is_one_character", {reading("\U0001F1E9\U0001F1EA")}, {"\U0001F1E9\U0001F1EA"},
                     notesWith({"weak_ocr: very short recognition"})},
        AssemblyCase{"short_and_weak", {reading("Hi", 0.3F)}, {"Hi"},
                     notesWith({"weak_ocr: 1 low-confidence line(s)", "weak_ocr: very short recognition"})},
        AssemblyCase{"threshold_is_strict",
                     {reading("first line", 0.1F), reading("second line", 0.39F), reading("third line", 0.4F)},
                     {"first line", "second line", "third line"},
                     notesWith({"weak_ocr: 2 low-confidence line(s)"})},
        AssemblyCase{"nan_is_not_low", {reading("one", kNaN), reading("two", kNaN)}, {"one", "two"}, kFixedNotes},
        AssemblyCase{"blank_low_candidate_not_counted", {reading("   ", 0.1F), reading("a long enough line")},
                     {"a long enough line"}, kFixedNotes},
        AssemblyCase{"inner_line_feed_kept", {reading("a\nb")}, {"a\nb"}, notesWith({"weak_ocr: very short recognition"})},
        AssemblyCase{"crlf_is_one_character", {reading("abcd\r\nefghij")}, {"abcd\r\nefghij"},
                     notesWith({"weak_ocr: very short recognition"})},
        AssemblyCase{"duplicates_kept_in_order", {reading("x"), reading("y"), reading("x")}, {"x", "y", "x"}, kFixedNotes},
        AssemblyCase{"only_first_candidate", {TextObservation{{{"first", 0.9F}, {"second", 0.1F}}}, reading("b")},
                     {"first", "b"}, kFixedNotes}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick
