// A run's image intake and recognition over fakes of the platform: the
// decoding routes tried, the pixel buffers made, and the record made of the
// recognizer's answer or its failure.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/run.h"
#include "error/ocr_error.h"
#include "imaging/load_image.h"
#include "report/json_report.h"
#include "support/fakes.h"
#include "support/test_support.h"
#include "vips/vips_graphics.h"

namespace tarnwick {
namespace {

using testing::errorLineFor;
using V = std::vector<std::string>;

// The message of the load failure the call throws; "" when none.
std::string loadFailure(const std::function<void()>& call) {
  try {
    call();
  } catch (const OcrError& error) {
    return error.errorCase() == OcrError::Case::loadFailed ? error.message() : "not a load failure";
  }
  return {};
}

// The fakes made into a platform, over an empty file the readability test passes.
struct Pipeline {
  testing::TempDir dir;
  std::string path = dir.file("page.png");
  testing::FakeDecoding decoding;
  VipsGraphics graphics;
  testing::FakeRecognition recognizer;
  Platform platform{decoding, graphics, recognizer};
  Pipeline() { testing::writeBytes(path, ""); }
};

TEST(ImageIntake, TriesEachRouteInTurnAndNamesThePathAsTypedWhenAllFail) {
  const std::string object = "makeImageObject @", image = "imageForProposedRect 0 0 4 3", tiff = "tiffRepresentation",
                    fromTiff = "bitmapImageFromTIFFData", source = "makeImageSource @", first = "imageAtIndex 0";
  const std::tuple<std::set<std::string>, V, std::string> cases[] = {
      {{}, {object, image}, ""},
      {{"imageForProposedRect"}, {object, image, tiff, fromTiff}, ""},
      {{"makeImageObject"}, {object, source, first}, ""},
      {{"imageForProposedRect", "tiffRepresentation"}, {object, image, tiff, source, first}, ""},
      {{"makeImageObject", "makeImageSource"}, {object, source}, "CGImageSource failed: @"},
      {{"imageForProposedRect", fromTiff, "imageAtIndex"}, {object, image, tiff, fromTiff, source, first},
       "no image at index 0: @"},
  };
  const auto at = [](std::string text, const std::string& path) {
    return text.ends_with('@') ? text.replace(text.size() - 1, 1, path) : text;
  };
  for (const auto& [failing, calls, failure] : cases) {
    Pipeline p;
    p.decoding.failing = failing;
    EXPECT_EQ(loadFailure([&] { loadCGImage(p.path, p.decoding); }), at(failure, p.path));
    V expected;
    for (const auto& call : calls) expected.push_back(at(call, p.path));
    EXPECT_EQ(p.decoding.calls, expected);
  }
  Pipeline p;
  EXPECT_EQ(loadFailure([&] { loadCGImage("/no/such/dir/../file \xFF.png", p.decoding); }),
            "not readable: /no/such/dir/../file \uFFFD.png");
  EXPECT_EQ(p.decoding.calls, V{});
}

TEST(PixelBuffers, HoldBGRARowsAlignedTo64BytesUpToTheirPixelLimit) {
  const std::uint32_t bgra = kPixelFormat32BGRA;
  // Width, height, pixel format; the status and bytes a row, 0 for no buffer.
  const std::tuple<std::int64_t, std::int64_t, std::uint32_t, std::int32_t, std::size_t> cases[] = {
      {1, 1, bgra, 0, 64},          {16, 2, bgra, 0, 64},
      {17, 1, bgra, 0, 128},        {8000, 8000, bgra, 0, 32000},
      {8001, 8000, bgra, -6662, 0}, {0, 1, bgra, -6661, 0},
      {1, 0, bgra, -6661, 0},       {4, 3, 0x52474241 /* RGBA */, -6661, 0}};
  for (const auto& [width, height, format, status, bytesPerRow] : cases) {
    const PixelBufferCreation made = createPixelBuffer(width, height, format);
    EXPECT_EQ(std::pair(made.status, made.buffer ? made.buffer->bytesPerRow() : 0), std::pair(status, bytesPerRow))
        << width << "x" << height;
  }
}

std::shared_ptr<const Observation> text(const std::vector<RecognizedText>& candidates) {
  return std::make_shared<testing::FakeTextObservation>(candidates);
}

TEST(Recognition, ReportsTheTextOfAnswersThatAreAllTextOrWhyThereIsNone) {
  using Requests = std::vector<TextRecognitionRequest*>;
  using Error = std::optional<PlatformError>;
  const PlatformError performError{"perform.domain", 0, "Perform failed.", "plain"};
  const PlatformError callbackError{"callback.domain", 9, "Callback failed.", ""};
  const auto answering = [](std::optional<ObservationList> results) -> testing::FakeRecognition::Perform {
    return [=](const Requests& requests, Error&) { return requests.front()->complete(results, nullptr), true; };
  };
  const std::string notes = R"({"confidence_notes":["provider vision_mac","recognition_languages en-US")";
  const std::string none = notes + R"(,"no text recognized"],"lines":[],"provider":"vision_mac","text":""})" "\n";
  const std::pair<testing::FakeRecognition::Perform, std::string> cases[] = {
      {answering(std::nullopt), none},
      {answering(ObservationList{text({{"kept?", 1}}), std::make_shared<testing::FakeOtherObservation>()}), none},
      {answering(ObservationList{text({{"first line", 1}}), text({}), text({{"second", 0.9F}, {"no", 1}})}),
       notes + R"(],"lines":["first line","second"],"provider":"vision_mac","text":"first line\nsecond"})" "\n"},
      {[&](const Requests& requests, Error& error) {
         requests.front()->complete(std::nullopt, &callbackError);
         return error = performError, false;
       },
       errorLineFor("vision failed: perform.domain code=0 Perform failed.")},
      {[](const Requests&, Error&) { return false; },
       errorLineFor(
           "vision failed: tarnwick.TextRecognition code=-1 The recognizer failed without reporting an error.")},
      {[&](const Requests& requests, Error&) {
         requests.front()->complete(std::nullopt, &callbackError);
         return requests.front()->complete(ObservationList{text({{"late", 1}})}, nullptr), true;
       },
       errorLineFor("vision failed: callback.domain code=9 Callback failed.")},
      {[](const Requests&, Error&) -> bool { throw std::runtime_error("boom"); }, errorLineFor("boom")},
  };
  for (const auto& [perform, line] : cases) {
    Pipeline p;
    p.recognizer.perform = perform;
    EXPECT_EQ(reportLine(recognizeImageAt(p.path, [&]() -> Platform& { return p.platform; })), line);
  }
}

}  // namespace
}  // namespace tarnwick
