#include "tesseract/tesseract_recognition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <vips/vips.h>

#include "platform/library_setup.h"
#include "platform/unicode.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

// A white page of at least width x height with `text` at its top left and,
// when `ruled`, a black rule across its foot. Bytes past each row's pixels are
// zero, so a reader striding by the width instead of bytesPerRow reads junk.
std::unique_ptr<PixelBuffer> page(int width, int height, const std::string& text = "", bool ruled = false) {
  const testing::VipsImagePtr ink = text.empty() ? nullptr : testing::renderTextImage(text);
  const int inkWidth = ink && vips_image_wio_input(ink.get()) == 0 ? ink->Xsize : 0, inkHeight = ink ? ink->Ysize : 0;
  auto buffer = createPixelBuffer(std::max(width, inkWidth), std::max(height, inkHeight), kPixelFormat32BGRA).buffer;
  buffer->lockBaseAddress(LockFlags::readWrite);
  std::fill_n(buffer->baseAddress(), buffer->bytesPerRow() * buffer->height(), 0);
  for (int y = 0; y < buffer->height(); ++y) {
    const bool rule = ruled && y >= buffer->height() - 12 && y < buffer->height() - 8;
    auto* row = reinterpret_cast<std::uint32_t*>(buffer->baseAddress() + y * buffer->bytesPerRow());
    for (int x = 0; x < buffer->width(); ++x) {
      const std::uint32_t grey = rule ? 0 : y < inkHeight && x < inkWidth ? *VIPS_IMAGE_ADDR(ink.get(), x, y) : 255;
      row[x] = 0xFF000000U | 0x010101U * grey;
    }
  }
  buffer->unlockBaseAddress(LockFlags::readWrite);
  return buffer;
}

TEST(TesseractRecognition, ReadsEachLineTopToBottomOrTellsCallerAndCompletionWhyNot) {
  // As embedding programs have it: the tool cannot reach a missing model, so
  // only here is Tesseract's complaint about one kept off stderr.
  initialiseLibraries();
  const testing::TempDir noModel;
  // Loading the model is most of a run's cost, so one engine serves every
  // case that has the model.
  TesseractRecognition english, modelless(noModel.path());
  using enum TextRecognitionErrorCode;
  const struct {
    const char* name;
    TesseractRecognition& recognition;
    std::unique_ptr<PixelBuffer> page;
    std::vector<std::string> languages;
    std::optional<TextRecognitionErrorCode> failure;
    std::vector<std::string> lines;  // on failure, what the description names
  } cases[] = {
      {"two lines", english, page(0, 0, "First line\nand the second"), {"en-US"}, {}, {"First line", "and the second"}},
      // A quarter megapixel and more: two engines read the lines, in order.
      {"two lines, two engines", english, page(600, 500, "First line\nand the second"), {"en-US"}, {},
       {"First line", "and the second"}},
      // Tesseract reports a rule as a block holding one blank line.
      {"text above a rule", english, page(1200, 300, "Hello world", true), {"en-US"}, {}, {"Hello world"}},
      // Beyond the engine's 32767-pixel limit either way, so scaled down to fit.
      {"tall page", english, page(0, 40000, "Hello world"), {"en-US"}, {}, {"Hello world"}},
      {"wide page", english, page(40000, 60), {"en-US"}, {}, {}},
      {"other language", english, page(40, 40), {"en-US", "de-DE"}, unsupportedLanguage, {"\"de-DE\""}},
      {"no model", modelless, page(40, 40), {"en-US"}, modelUnavailable, {noModel.path()}},
      {"no model, two engines", modelless, page(600, 500, "Hello world"), {"en-US"}, modelUnavailable,
       {noModel.path()}},
  };
  for (const auto& [name, recognition, buffer, languages, failure, expected] : cases) {
    SCOPED_TRACE(name);
    std::optional<PlatformError> returned;
    std::vector<std::optional<PlatformError>> completed;  // what each call of the completion handler got
    TextRecognitionRequest request([&](TextRecognitionRequest&, const PlatformError* error) {
      completed.push_back(error != nullptr ? std::optional(*error) : std::nullopt);
    });
    request.setRecognitionLanguages(languages);
    ::testing::internal::CaptureStderr();
    const auto handler = recognition.makeImageRequestHandler(*buffer, ImageOrientation::up, {});
    EXPECT_EQ(handler->performRequests({&request}, returned), !failure);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(completed.size(), 1U);
    EXPECT_EQ(request.results().has_value(), !failure);
    if (failure) {
      ASSERT_TRUE(returned && completed[0]);
      EXPECT_EQ(returned->domain, kTextRecognitionErrorDomain);
      EXPECT_EQ(returned->code, static_cast<std::int64_t>(*failure));
      EXPECT_EQ(completed[0]->code, returned->code);
      EXPECT_THAT(returned->localizedDescription, ::testing::HasSubstr(expected.at(0)));
      continue;
    }
    ASSERT_FALSE(returned || completed[0]) << returned.value_or(PlatformError{}).localizedDescription;
    std::vector<std::string> lines;
    for (const auto& observation : request.results().value_or(ObservationList{})) {
      const auto candidates = dynamic_cast<const RecognizedTextObservation&>(*observation).topCandidates(3);
      ASSERT_EQ(candidates.size(), 1U);
      EXPECT_TRUE(candidates[0].confidence > 0.4F && candidates[0].confidence <= 1.0F) << candidates[0].confidence;
      lines.push_back(trimWhitespaceAndNewlines(candidates[0].string));
    }
    EXPECT_EQ(lines, expected);
  }
}

}  // namespace
}  // namespace tarnwick
