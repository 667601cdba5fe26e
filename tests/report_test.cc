#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "report/json_report.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

// Captures what a writer prints, byte for byte.
template <typename Write>
std::string printed(Write write) {
  std::FILE* sink = std::tmpfile();
  write(sink);
  std::rewind(sink);
  std::string bytes;
  for (int c = std::fgetc(sink); c != EOF; c = std::fgetc(sink)) bytes += static_cast<char>(c);
  std::fclose(sink);
  return bytes;
}

struct ResultCase {
  const char* name;
  OcrResult result;
  std::string expectedLine;
  friend void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }
};

class ResultLineTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(ResultLineTest, PrintsOneCompactSortedLine) {
  const auto& [name, result, expectedLine] = GetParam();
  const std::string line = printed([&](std::FILE* out) { emitJSON(result, out); });
  EXPECT_EQ(line, expectedLine);
  const auto json = testing::parseReportLine(line);
  EXPECT_EQ(json["text"], result.text);
  EXPECT_EQ(json["lines"], result.lines);
  EXPECT_EQ(json["confidence_notes"], result.confidence_notes);
}

// Records as the recognizer makes them: the two fixed notes first.
const std::string kFixed = R"({"confidence_notes":["provider vision_mac","recognition_languages en-US")";
const std::vector<std::string> kFixedNotes{"provider vision_mac", "recognition_languages en-US"};
std::vector<std::string> notesWith(const std::string& warning) {
  auto notes = kFixedNotes;
  notes.push_back(warning);
  return notes;
}

INSTANTIATE_TEST_SUITE_P(
    Records, ResultLineTest,
    ::testing::Values(
        ResultCase{"no_text", {"", {}, "vision_mac", notesWith("no text recognized")},
                   kFixed + R"(,"no text recognized"],"lines":[],"provider":"vision_mac","text":""})" "\n"},
        ResultCase{"two_lines", {"a\nb", {"a", "b"}, "vision_mac", kFixedNotes},
                   kFixed + R"(],"lines":["a","b"],"provider":"vision_mac","text":"a\nb"})" "\n"},
        ResultCase{"escapes",
                   {"q\"b\\s/t\tc\x01", {"q\"b\\s/t\tc\x01"}, "vision_mac",
                    notesWith("weak_ocr: 1 low-confidence line(s)")},
                   kFixed + R"j(,"weak_ocr: 1 low-confidence line(s)"],"lines":["q\"b\\s\/t\tc\u0001"],)j"
                            R"("provider":"vision_mac","text":"q\"b\\s\/t\tc\u0001"})" "\n"},
        ResultCase{"raw_utf8", {"Grüße 🇩🇪", {"Grüße 🇩🇪"}, "vision_mac", notesWith("weak_ocr: very short recognition")},
                   kFixed + R"(,"weak_ocr: very short recognition"],"lines":["Grüße 🇩🇪"],"provider":"vision_mac",)"
                            R"("text":"Grüße 🇩🇪"})" "\n"}),
    [](const auto& info) { return info.param.name; });

TEST(ErrorLine, CarriesTheMessageAsItsOnlyNote) {
  EXPECT_EQ(printed([](std::FILE* out) { emitError("usage: tarnwick <image-path>", out); }),
            R"({"confidence_notes":["usage: tarnwick <image-path>"],"lines":[],"provider":"unavailable","text":""})" "\n");
  EXPECT_EQ(printed([](std::FILE* out) { emitError("", out); }),
            R"({"confidence_notes":[""],"lines":[],"provider":"unavailable","text":""})" "\n");
  EXPECT_EQ(printed([](std::FILE* out) { emitError("not readable: a/b\n\"c\"", out); }),
            testing::errorLineFor("not readable: a/b\n\"c\""));
}

TEST(FallbackLines, ReplaceRecordsThatAreNotUtf8) {
  const std::string invalid = "bad \xC3\x28 bytes";
  EXPECT_EQ(printed([&](std::FILE* out) { emitJSON({invalid, {}, "vision_mac", {}}, out); }),
            R"({"text":"","lines":[],"provider":"vision_mac","confidence_notes":["json encode failed"]})" "\n");
  EXPECT_EQ(printed([&](std::FILE* out) { emitError(invalid, out); }),
            R"({"text":"","lines":[],"provider":"unavailable","confidence_notes":["error"]})" "\n");
  for (const char* fallback : {kResultFallbackLine, kErrorFallbackLine}) testing::parseReportLine(fallback + std::string("\n"));
  EXPECT_EQ(std::string(kResultFallbackLine).size(), 88U);
  EXPECT_EQ(std::string(kErrorFallbackLine).size(), 76U);
}

}  // namespace
}  // namespace tarnwick
