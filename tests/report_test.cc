// The bytes of every line the tool prints.
#include <gtest/gtest.h>

#include "report/json_report.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

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
       R"({"text":"","lines":[],"provider":"unavailable","confidence_notes":["error"]})"},
  };
  for (const auto& [outcome, line] : cases) EXPECT_EQ(reportLine(outcome), line + "\n") << line;
  for (const auto& [outcome, line] : cases) testing::parseReportLine(line + "\n");
}

}  // namespace
}  // namespace tarnwick
