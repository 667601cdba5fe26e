#include "platform/tesseract_recognition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <vips/vips.h>

#include "platform/startup.h"
#include "platform/unicode.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

// Loading the model is most of a run's cost, so one engine serves every test,
// on one OpenMP thread as in the tool.
TesseractRecognition& sharedRecognition() {
  limitOpenMPToCallingThread();
  static TesseractRecognition recognition;
  return recognition;
}

// A white page of at least width x height with `text` at its top left and,
// when `ruled`, a black rule across its foot. Bytes past each row's pixels are
// zero, so a reader striding by the width instead of bytesPerRow reads junk.
std::unique_ptr<PixelBuffer> page(int width, int height, const std::string& text = "", bool ruled = false) {
  const testing::VipsImagePtr ink = text.empty() ? nullptr : testing::renderTextImage(text);
  const int inkWidth = ink ? ink->Xsize : 0, inkHeight = ink ? ink->Ysize : 0;
  auto buffer = createPixelBuffer(std::max(width, inkWidth), std::max(height, inkHeight), kPixelFormat32BGRA).buffer;
  const std::size_t stride = buffer->bytesPerRow();
  buffer->lockBaseAddress(LockFlags::readWrite);
  std::uint8_t* base = buffer->baseAddress();
  std::memset(base, 0, stride * buffer->height());
  for (int y = 0; y < buffer->height(); ++y) {
    const bool rule = ruled && y >= buffer->height() - 12 && y < buffer->height() - 8;
    std::fill_n(reinterpret_cast<std::uint32_t*>(base + y * stride), buffer->width(), rule ? 0xFF000000 : 0xFFFFFFFF);
  }
  std::size_t size = 0;
  const std::unique_ptr<std::uint8_t, decltype(&g_free)> grey(
      ink ? static_cast<std::uint8_t*>(vips_image_write_to_memory(ink.get(), &size)) : nullptr, &g_free);
  for (int y = 0; y < inkHeight; ++y) {
    for (int x = 0; x < inkWidth; ++x) std::memset(base + y * stride + 4 * x, grey.get()[3 * (y * inkWidth + x)], 3);
  }
  buffer->unlockBaseAddress(LockFlags::readWrite);
  return buffer;
}

struct Outcome {
  bool performed = false;
  std::optional<PlatformError> error, completionError;
  int completions = 0;
  std::optional<ObservationList> results;
  std::string standardError;
};

Outcome perform(TextRecognition& recognition, const PixelBuffer& buffer, std::vector<std::string> languages,
                bool languageCorrection = true) {
  Outcome outcome;
  TextRecognitionRequest request([&outcome](TextRecognitionRequest& done, const PlatformError* error) {
    ++outcome.completions;
    if (error != nullptr) outcome.completionError = *error;
    outcome.results = done.results();
  });
  request.setRecognitionLanguages(std::move(languages));
  request.setUsesLanguageCorrection(languageCorrection);
  ::testing::internal::CaptureStderr();
  outcome.performed = recognition.makeImageRequestHandler(buffer, ImageOrientation::up, {})
                          ->performRequests({&request}, outcome.error);
  outcome.standardError = ::testing::internal::GetCapturedStderr();
  return outcome;
}

struct ReadingCase {
  const char* name;
  std::unique_ptr<PixelBuffer> (*page)();
  bool languageCorrection;
  std::vector<std::string> lines;
};
void PrintTo(const ReadingCase& readingCase, std::ostream* out) { *out << readingCase.name; }

class ReadingTest : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(ReadingTest, OneConfidentObservationPerLineTopToBottom) {
  const Outcome outcome = perform(sharedRecognition(), *GetParam().page(), {"en-US"}, GetParam().languageCorrection);
  EXPECT_TRUE(outcome.performed);
  EXPECT_FALSE(outcome.error || outcome.completionError);
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_EQ(outcome.standardError, "");
  ASSERT_TRUE(outcome.results);
  std::vector<std::string> lines;
  for (const auto& observation : *outcome.results) {
    const auto text = std::dynamic_pointer_cast<const RecognizedTextObservation>(observation);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->topCandidates(0).empty());
    const auto candidates = text->topCandidates(3);
    ASSERT_EQ(candidates.size(), 1U);
    EXPECT_TRUE(candidates[0].confidence > 0.4F && candidates[0].confidence <= 1.0F) << candidates[0].confidence;
    lines.push_back(trimWhitespaceAndNewlines(candidates[0].string));
  }
  EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    TesseractRecognition, ReadingTest,
    ::testing::Values(
        ReadingCase{"OneLine", [] { return page(0, 0, "Hello world"); }, true, {"Hello world"}},
        ReadingCase{"WithoutLanguageCorrection", [] { return page(0, 0, "Hello world"); }, false, {"Hello world"}},
        ReadingCase{"TwoLines", [] { return page(0, 0, "First line of text\nand the second one"); }, true,
                    {"First line of text", "and the second one"}},
        // Tesseract reports a rule as a block holding one blank line.
        ReadingCase{"TextAboveARule", [] { return page(1200, 300, "Hello world", true); }, true, {"Hello world"}},
        ReadingCase{"BlankPage", [] { return page(600, 400); }, true, {}},
        // Beyond the engine's 32767-pixel limit, so scaled down to fit.
        ReadingCase{"TallPage", [] { return page(0, 40000, "Hello world"); }, true, {"Hello world"}},
        ReadingCase{"WidePage", [] { return page(40000, 60); }, true, {}}),
    [](const auto& info) { return info.param.name; });

struct FailureCase {
  const char* name;
  std::vector<std::string> languages;
  TesseractRecognitionError code;
  std::string named;  // what the description must name; the model directory when empty
};
void PrintTo(const FailureCase& failureCase, std::ostream* out) { *out << failureCase.name; }

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, FailsAndTellsTheCompletion) {
  const testing::TempDir emptyDirectory;
  TesseractRecognition modelMissing(emptyDirectory.path().string());
  const bool missing = GetParam().code == TesseractRecognitionError::modelUnavailable;
  const std::string named = missing ? emptyDirectory.path().string() : GetParam().named;
  const Outcome outcome = perform(missing ? modelMissing : sharedRecognition(), *page(40, 40), GetParam().languages);
  EXPECT_FALSE(outcome.performed);
  ASSERT_TRUE(outcome.error && outcome.completionError);
  EXPECT_EQ(outcome.error->domain, kTextRecognitionErrorDomain);
  EXPECT_EQ(outcome.error->code, static_cast<std::int64_t>(GetParam().code));
  EXPECT_NE(outcome.error->localizedDescription.find(named), std::string::npos) << outcome.error->localizedDescription;
  EXPECT_EQ(outcome.completionError->code, outcome.error->code);
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_FALSE(outcome.results);
  EXPECT_EQ(outcome.standardError, "");
}

INSTANTIATE_TEST_SUITE_P(
    TesseractRecognition, FailureTest,
    ::testing::Values(
        FailureCase{"OtherLanguage", {"fr-FR"}, TesseractRecognitionError::unsupportedLanguage, "fr-FR"},
        FailureCase{"OtherLanguageBesideEnglish", {"en-US", "de-DE"}, TesseractRecognitionError::unsupportedLanguage,
                    "de-DE"},
        FailureCase{"ModelMissing", {"en-US"}, TesseractRecognitionError::modelUnavailable, ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick
