#include <gtest/gtest.h>

#include <stdexcept>

#include "error/ocr_error.h"
#include "app/run.h"
#include "imaging/load_image.h"
#include "imaging/pixel_buffer_preparation.h"
#include "recognition/recognize_text.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::FakeOtherObservation;
using testing::FakeTextObservation;
using V = std::vector<std::string>;

std::string failureOf(const std::function<void()>& call, OcrError::Case expectedCase) {
  try {
    call();
  } catch (const OcrError& error) {
    EXPECT_EQ(error.errorCase(), expectedCase);
    return error.message();
  }
  ADD_FAILURE() << "no error raised";
  return {};
}

// Runs the stages against fakes, over an empty file that passes the
// readability test.
struct Pipeline {
  testing::TempDir dir;
  std::string path = dir.file("page.png");
  testing::FakeDecoding decoding;
  testing::FakeGraphics graphics;
  testing::FakeRecognition recognizer;
  Platform platform{decoding, graphics, recognizer};
  bool platformUnavailable = false;  // making the platform throws, as when a module is missing

  Pipeline() { std::fclose(std::fopen(path.c_str(), "w")); }

  std::string loadFailure() { return failureOf([&] { loadCGImage(path, decoding); }, OcrError::Case::loadFailed); }
  OcrResult recognize() { return recognizeText(testing::smallImage(), platform); }
  std::string visionFailure() { return failureOf([&] { recognize(); }, OcrError::Case::visionFailed); }

  // The run sequence's stdout and status; stderr must stay empty.
  std::pair<std::string, int> run(const V& arguments) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const auto makePlatform = [this]() -> Platform& {
      if (platformUnavailable) throw std::runtime_error("cannot load the imaging module");
      return platform;
    };
    const int status = runTarnwick(arguments, makePlatform, out, err);
    EXPECT_EQ(std::ftell(err), 0);
    std::string bytes(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), out), bytes.size());
    std::fclose(out);
    std::fclose(err);
    testing::parseReportLine(bytes);
    return {bytes, status};
  }
};

struct RouteCase {
  const char* name;
  std::set<std::string> failing;
  V calls;              // "@" stands for the path
  std::string failure;  // empty when an image comes back
  friend void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }
};

class ImageRoutesTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(ImageRoutesTest, TriesTheRoutesInOrder) {
  Pipeline pipeline;
  pipeline.decoding.failing = GetParam().failing;
  if (GetParam().failure.empty()) {
    EXPECT_NO_THROW(loadCGImage(pipeline.path, pipeline.decoding));
  } else {
    EXPECT_EQ(pipeline.loadFailure(), GetParam().failure + pipeline.path);
  }
  V expected = GetParam().calls;
  for (auto& call : expected) {
    if (call.ends_with("@")) call.replace(call.size() - 1, 1, pipeline.path);
  }
  EXPECT_EQ(pipeline.decoding.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ImageRoutesTest,
    ::testing::Values(
        RouteCase{"image_object", {}, {"makeImageObject @", "imageForProposedRect"}, ""},
        RouteCase{"tiff_redecode", {"imageForProposedRect"},
                  {"makeImageObject @", "imageForProposedRect", "tiffRepresentation", "bitmapImageFromTIFFData"}, ""},
        RouteCase{"no_image_object_skips_tiff", {"makeImageObject"},
                  {"makeImageObject @", "makeImageSource @", "imageAtIndex 0"}, ""},
        RouteCase{"no_tiff_goes_to_source", {"imageForProposedRect", "tiffRepresentation"},
                  {"makeImageObject @", "imageForProposedRect", "tiffRepresentation", "makeImageSource @",
                   "imageAtIndex 0"}, ""},
        RouteCase{"source_fails", {"makeImageObject", "makeImageSource"}, {"makeImageObject @", "makeImageSource @"},
                  "CGImageSource failed: "},
        RouteCase{"no_first_image", {"imageForProposedRect", "bitmapImageFromTIFFData", "imageAtIndex"},
                  {"makeImageObject @", "imageForProposedRect", "tiffRepresentation", "bitmapImageFromTIFFData",
                   "makeImageSource @", "imageAtIndex 0"},
                  "no image at index 0: "}),
    [](const auto& info) { return info.param.name; });

TEST(ImageLoading, UnreadablePathsNeverReachTheDecoders) {
  Pipeline pipeline;
  pipeline.path = "/no/such/dir/../file \xFF.png";
  EXPECT_EQ(pipeline.loadFailure(), "not readable: /no/such/dir/../file \uFFFD.png");
  EXPECT_TRUE(pipeline.decoding.calls.empty());
}

struct BufferCase {
  const char* name;
  std::int64_t width, height;
  std::int32_t status;
  std::set<std::string> failing;
  std::string failure;
  V calls;
  friend void PrintTo(const BufferCase& c, std::ostream* os) { *os << c.name; }
};

class PixelBufferPreparationTest : public ::testing::TestWithParam<BufferCase> {};

TEST_P(PixelBufferPreparationTest, FailsWithItsMessage) {
  Pipeline pipeline;
  const auto& param = GetParam();
  std::tie(pipeline.graphics.width, pipeline.graphics.height) = std::pair(param.width, param.height);
  pipeline.graphics.creationStatus = param.status;
  pipeline.graphics.failing = param.failing;
  EXPECT_EQ(failureOf([&] { pipeline.recognize(); }, OcrError::Case::loadFailed), param.failure);
  EXPECT_EQ(pipeline.graphics.calls, param.calls);
  EXPECT_EQ(pipeline.recognizer.handlersMade, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PixelBufferPreparationTest,
    ::testing::Values(
        BufferCase{"zero_width", 0, 3, 0, {}, "empty image dimensions", {}},
        BufferCase{"negative_height", 4, -1, 0, {}, "empty image dimensions", {}},
        BufferCase{"negative_status_with_buffer", 4, 3, -6662, {}, "CVPixelBufferCreate failed status=-6662",
                   {"createPixelBuffer"}},
        BufferCase{"zero_status_without_buffer", 4, 3, 0, {"createPixelBuffer"}, "CVPixelBufferCreate failed status=0",
                   {"createPixelBuffer"}},
        BufferCase{"no_context", 4, 3, 0, {"createBitmapContext"}, "CGContext for pixel buffer failed",
                   {"createPixelBuffer", "createBitmapContext"}}),
    [](const auto& info) { return info.param.name; });

TEST(PixelBufferPreparation, FillsWhiteThenDrawsAndReturnsUnlocked) {
  testing::FakeGraphics graphics;
  const auto buffer = makeBGRAPixelBuffer(testing::smallImage(), graphics);
  EXPECT_EQ(std::pair(buffer->width(), buffer->height()), std::pair(4, 3));
  EXPECT_FALSE(buffer->isLocked());
  EXPECT_EQ(graphics.calls, (V{"createPixelBuffer", "createBitmapContext", "setInterpolationQuality", "setFillColor",
                               "fillRect", "drawImage"}));
}

const PlatformError kPerformError{"perform.domain", -3, "Perform failed.", ""};
const PlatformError kCallbackError{"callback.domain", 9, "Callback failed.", ""};

std::shared_ptr<const Observation> text(const std::string& string) {
  return std::make_shared<FakeTextObservation>(std::vector<RecognizedText>{{string, 0.9F}});
}

TEST(RecognizeText, PerformFailureWinsOverTheCallbackError) {
  Pipeline pipeline;
  pipeline.recognizer.perform = [](const auto& requests, auto& error) {
    requests.front()->complete(std::nullopt, &kCallbackError);
    error = kPerformError;
    return false;
  };
  EXPECT_EQ(pipeline.visionFailure(), "perform.domain code=-3 Perform failed.");
  pipeline.recognizer.perform = [](const auto&, auto&) { return false; };
  EXPECT_FALSE(pipeline.visionFailure().empty()) << "a failure without an error still needs words";
}

TEST(RecognizeText, CallbackErrorFailsAndLaterResultsDoNotMaskIt) {
  Pipeline pipeline;
  pipeline.recognizer.perform = [](const auto& requests, auto&) {
    requests.front()->complete(std::nullopt, &kCallbackError);
    requests.front()->complete(ObservationList{text("late line")}, nullptr);
    return true;
  };
  EXPECT_EQ(pipeline.visionFailure(), "callback.domain code=9 Callback failed.");
}

struct ResultsCase {
  const char* name;
  std::optional<ObservationList> results;
  bool completes;
  V lines;
  friend void PrintTo(const ResultsCase& c, std::ostream* os) { *os << c.name; }
};

class RecognitionResultsTest : public ::testing::TestWithParam<ResultsCase> {};

TEST_P(RecognitionResultsTest, UsesOnlyAllTextResults) {
  Pipeline pipeline;
  const auto& param = GetParam();
  pipeline.recognizer.perform = [&](const auto& requests, auto&) {
    const TextRecognitionRequest& request = *requests.front();
    EXPECT_EQ(request.recognitionLanguages(), V{"en-US"});
    EXPECT_EQ(request.recognitionLevel(), RecognitionLevel::accurate);
    EXPECT_TRUE(request.usesLanguageCorrection());
    if (param.completes) requests.front()->complete(param.results, nullptr);
    return true;
  };
  const OcrResult result = pipeline.recognize();
  EXPECT_EQ(result.lines, param.lines);
  EXPECT_EQ(pipeline.recognizer.lastRequestCount, 1U);
  EXPECT_EQ(pipeline.recognizer.lastOptionCount, 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Results, RecognitionResultsTest,
    ::testing::Values(
        ResultsCase{"never_completed", std::nullopt, false, {}},
        ResultsCase{"absent", std::nullopt, true, {}},
        ResultsCase{"empty", ObservationList{}, true, {}},
        ResultsCase{"mixed_kinds_dropped_whole",
                    ObservationList{text("kept?"), std::make_shared<FakeOtherObservation>(), text("no")}, true, {}},
        ResultsCase{"text_in_order",
                    ObservationList{text("first line"),
                                    std::make_shared<FakeTextObservation>(std::vector<RecognizedText>{}),
                                    text("second line")},
                    true, {"first line", "second line"}}),
    [](const auto& info) { return info.param.name; });

TEST(RunSequence, EveryFailureBecomesOnePrefixedRecordWithStatusZero) {
  const struct {
    const char* name;
    std::function<void(Pipeline&)> configure;
    std::string message;  // "@" stands for the path
  } cases[] = {
      {"load", [](Pipeline& p) { p.decoding.failing = {"makeImageObject", "makeImageSource"}; },
       "load failed: CGImageSource failed: @"},
      {"buffer", [](Pipeline& p) { p.graphics.creationStatus = -6661; },
       "load failed: CVPixelBufferCreate failed status=-6661"},
      {"vision", [](Pipeline& p) { p.recognizer.perform = [](const auto&, auto& e) { e = kPerformError; return false; }; },
       "vision failed: perform.domain code=-3 Perform failed."},
      {"vision_empty_payload",
       [](Pipeline& p) { p.recognizer.perform = [](const auto&, auto& e) { e = PlatformError{}; return false; }; },
       "vision failed: "},
      {"foreign",
       [](Pipeline& p) { p.recognizer.perform = [](const auto&, auto&) -> bool { throw std::runtime_error("boom"); }; },
       "boom"},
      {"platform", [](Pipeline& p) { p.platformUnavailable = true; }, "cannot load the imaging module"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    Pipeline pipeline;
    testCase.configure(pipeline);
    std::string message = testCase.message;
    if (message.ends_with("@")) message.replace(message.size() - 1, 1, pipeline.path);
    EXPECT_EQ(pipeline.run({"tarnwick", pipeline.path, "ignored", "--also-ignored"}),
              std::pair(testing::errorLineFor(message), 0));
  }
}

}  // namespace
}  // namespace tarnwick
