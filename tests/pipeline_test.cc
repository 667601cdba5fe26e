#include <gtest/gtest.h>

#include <stdexcept>

#include "app/ocr_error.h"
#include "app/run.h"
#include "imaging/load_image.h"
#include "imaging/pixel_buffer_preparation.h"
#include "platform/file_system.h"
#include "recognition/recognize_text.h"
#include "support/fakes.h"

namespace tarnwick {
namespace {

using testing::FakeDecoding;
using testing::FakeGraphics;
using testing::FakeOtherObservation;
using testing::FakeRecognition;
using testing::FakeTextObservation;
using V = std::vector<std::string>;

template <typename Call>
std::string loadFailureOf(Call call) {
  try {
    call();
  } catch (const OcrError& error) {
    EXPECT_EQ(error.errorCase(), OcrError::Case::loadFailed);
    return error.message();
  }
  ADD_FAILURE() << "no error raised";
  return {};
}

struct RouteCase {
  const char* name;
  void (*configure)(FakeDecoding&);
  V routeCalls;        // after the path-taking calls, which name the file
  std::string failure; // empty when an image comes back
  friend void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }
};

class ImageRoutesTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(ImageRoutesTest, TriesTheRoutesInOrder) {
  testing::TempDir dir;
  const std::string path = dir.file("page.png");
  std::fclose(std::fopen(path.c_str(), "w"));
  FakeDecoding decoding;
  GetParam().configure(decoding);
  if (GetParam().failure.empty()) {
    EXPECT_NO_THROW(loadCGImage(path, decoding));
  } else {
    EXPECT_EQ(loadFailureOf([&] { loadCGImage(path, decoding); }), GetParam().failure + path);
  }
  V expected = GetParam().routeCalls;
  for (auto& call : expected) {
    if (call.starts_with("make")) call += " " + path;
  }
  EXPECT_EQ(decoding.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ImageRoutesTest,
    ::testing::Values(
        RouteCase{"image_object", [](FakeDecoding&) {}, {"makeImageObject", "imageForProposedRect"}, ""},
        RouteCase{"tiff_redecode", [](FakeDecoding& d) { d.proposedRectDecodes = false; },
                  {"makeImageObject", "imageForProposedRect", "tiffRepresentation", "bitmapImageFromTIFFData"}, ""},
        RouteCase{"no_image_object_skips_tiff", [](FakeDecoding& d) { d.imageObjectOpens = false; },
                  {"makeImageObject", "makeImageSource", "imageAtIndex 0"}, ""},
        RouteCase{"no_tiff_goes_to_source",
                  [](FakeDecoding& d) { d.proposedRectDecodes = d.tiffEncodes = false; },
                  {"makeImageObject", "imageForProposedRect", "tiffRepresentation", "makeImageSource", "imageAtIndex 0"}, ""},
        RouteCase{"source_fails",
                  [](FakeDecoding& d) { d.imageObjectOpens = d.sourceOpens = false; },
                  {"makeImageObject", "makeImageSource"}, "CGImageSource failed: "},
        RouteCase{"no_first_image",
                  [](FakeDecoding& d) { d.proposedRectDecodes = d.tiffDecodes = d.sourceDecodes = false; },
                  {"makeImageObject", "imageForProposedRect", "tiffRepresentation", "bitmapImageFromTIFFData",
                   "makeImageSource", "imageAtIndex 0"},
                  "no image at index 0: "}),
    [](const auto& info) { return info.param.name; });

TEST(ImageLoading, UnreadablePathsNeverReachTheDecoders) {
  FakeDecoding decoding;
  const std::string typed = "/no/such/dir/../file \xFF.png";
  EXPECT_EQ(loadFailureOf([&] { loadCGImage(typed, decoding); }), "not readable: /no/such/dir/../file \uFFFD.png");
  EXPECT_TRUE(decoding.calls.empty());
}

TEST(ImageLoading, DecodesAtTheStandardizedPath) {
  testing::TempDir dir;
  std::fclose(std::fopen(dir.file("a.png").c_str(), "w"));
  std::filesystem::create_directory(dir.path() / "sub");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  FakeDecoding decoding;
  decoding.imageObjectOpens = false;
  decoding.sourceOpens = false;
  EXPECT_EQ(loadFailureOf([&] { loadCGImage("./sub/../a.png", decoding); }), "CGImageSource failed: ./sub/../a.png");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(decoding.calls, (V{"makeImageObject " + dir.file("a.png"), "makeImageSource " + dir.file("a.png")}));
}

struct BufferCase {
  const char* name;
  void (*configure)(FakeGraphics&);
  std::string failure;
  V calls;
  friend void PrintTo(const BufferCase& c, std::ostream* os) { *os << c.name; }
};

class PixelBufferPreparationTest : public ::testing::TestWithParam<BufferCase> {};

TEST_P(PixelBufferPreparationTest, FailsWithItsMessageAndCleansUp) {
  FakeGraphics graphics;
  GetParam().configure(graphics);
  EXPECT_EQ(loadFailureOf([&] { makeBGRAPixelBuffer(testing::smallImage(), graphics); }), GetParam().failure);
  EXPECT_EQ(graphics.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PixelBufferPreparationTest,
    ::testing::Values(
        BufferCase{"zero_width", [](FakeGraphics& g) { g.width = 0; }, "empty image dimensions", {}},
        BufferCase{"negative_height", [](FakeGraphics& g) { g.height = -1; }, "empty image dimensions", {}},
        BufferCase{"negative_status_with_buffer", [](FakeGraphics& g) { g.creationStatus = -6662; },
                   "CVPixelBufferCreate failed status=-6662", {"createPixelBuffer"}},
        BufferCase{"zero_status_without_buffer", [](FakeGraphics& g) { g.createsBuffer = false; },
                   "CVPixelBufferCreate failed status=0", {"createPixelBuffer"}},
        BufferCase{"no_context", [](FakeGraphics& g) { g.createsContext = false; }, "CGContext for pixel buffer failed",
                   {"createPixelBuffer", "createBitmapContext"}}),
    [](const auto& info) { return info.param.name; });

TEST(PixelBufferPreparation, FillsWhiteThenDrawsAndReturnsUnlocked) {
  FakeGraphics graphics;
  const auto buffer = makeBGRAPixelBuffer(testing::smallImage(), graphics);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->width(), 4);
  EXPECT_EQ(buffer->height(), 3);
  EXPECT_FALSE(buffer->isLocked());
  EXPECT_EQ(graphics.calls, (V{"createPixelBuffer", "createBitmapContext", "setInterpolationQuality", "setFillColor",
                               "fillRect", "drawImage"}));
}

// Runs the recognition stage against a scripted recognizer.
struct Recognition {
  FakeDecoding decoding;
  FakeGraphics graphics;
  FakeRecognition recognizer;
  Platform platform{decoding, graphics, recognizer};

  OcrResult run() { return recognizeText(testing::smallImage(), platform); }

  std::string visionFailure() {
    try {
      run();
    } catch (const OcrError& error) {
      EXPECT_EQ(error.errorCase(), OcrError::Case::visionFailed);
      return error.message();
    }
    ADD_FAILURE() << "no error raised";
    return {};
  }
};

const PlatformError kPerformError{"perform.domain", -3, "Perform failed.", ""};
const PlatformError kCallbackError{"callback.domain", 9, "Callback failed.", ""};

std::shared_ptr<const Observation> text(const std::string& string, float confidence = 0.9F) {
  return std::make_shared<FakeTextObservation>(std::vector<RecognizedText>{{string, confidence}});
}

TEST(RecognizeText, PerformFailureWinsOverTheCallbackError) {
  Recognition recognition;
  recognition.recognizer.perform = [](const auto& requests, auto& error) {
    requests.front()->complete(std::nullopt, &kCallbackError);
    error = kPerformError;
    return false;
  };
  EXPECT_EQ(recognition.visionFailure(), "perform.domain code=-3 Perform failed.");
}

TEST(RecognizeText, UnexplainedPerformFailureStillFails) {
  Recognition recognition;
  recognition.recognizer.perform = [](const auto&, auto&) { return false; };
  EXPECT_FALSE(recognition.visionFailure().empty());
}

TEST(RecognizeText, CallbackErrorFailsAndLaterResultsDoNotMaskIt) {
  Recognition recognition;
  recognition.recognizer.perform = [](const auto& requests, auto&) {
    requests.front()->complete(std::nullopt, &kCallbackError);
    requests.front()->complete(ObservationList{text("late line")}, nullptr);
    return true;
  };
  EXPECT_EQ(recognition.visionFailure(), "callback.domain code=9 Callback failed.");
}

TEST(RecognizeText, BufferFailureIsALoadFailureAndMakesNoRecognizer) {
  Recognition recognition;
  recognition.graphics.createsContext = false;
  EXPECT_EQ(loadFailureOf([&] { recognition.run(); }), "CGContext for pixel buffer failed");
  EXPECT_EQ(recognition.recognizer.handlersMade, 0);
}

struct ResultsCase {
  const char* name;
  std::optional<ObservationList> results;  // nullopt with callCallback=false: never completed
  bool callCallback;
  V lines;
  friend void PrintTo(const ResultsCase& c, std::ostream* os) { *os << c.name; }
};

class RecognitionResultsTest : public ::testing::TestWithParam<ResultsCase> {};

TEST_P(RecognitionResultsTest, UsesOnlyAllTextResults) {
  Recognition recognition;
  const auto& param = GetParam();
  recognition.recognizer.perform = [&](const auto& requests, auto&) {
    EXPECT_EQ(requests.front()->recognitionLanguages(), V{"en-US"});
    EXPECT_EQ(requests.front()->recognitionLevel(), RecognitionLevel::accurate);
    EXPECT_TRUE(requests.front()->usesLanguageCorrection());
    if (param.callCallback) requests.front()->complete(param.results, nullptr);
    return true;
  };
  const OcrResult result = recognition.run();
  EXPECT_EQ(result.lines, param.lines);
  EXPECT_EQ(recognition.recognizer.lastRequestCount, 1U);
  EXPECT_EQ(recognition.recognizer.lastOptionCount, 0U);
  if (param.lines.empty()) {
    EXPECT_EQ(result.confidence_notes.back(), "no text recognized");
  }
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

// The run sequence's one message per failure, and its exit statuses.
struct RunOutcome {
  std::string out;
  std::string err;
  int status;
};

RunOutcome runWith(const V& arguments, Platform& platform) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int status = runTarnwick(arguments, platform, out, err);
  auto contents = [](std::FILE* file) {
    std::rewind(file);
    std::string bytes;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) bytes += static_cast<char>(c);
    std::fclose(file);
    return bytes;
  };
  return {contents(out), contents(err), status};
}

TEST(RunSequence, UsageWhenThePathIsMissing) {
  Recognition recognition;
  const auto outcome = runWith({"tarnwick"}, recognition.platform);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.err, "usage: tarnwick <image-path>\n");
  EXPECT_EQ(outcome.out, testing::errorLineFor("usage: tarnwick <image-path>"));
  EXPECT_TRUE(recognition.decoding.calls.empty());
}

TEST(RunSequence, EveryFailureBecomesOnePrefixedRecordWithStatusZero) {
  testing::TempDir dir;
  const std::string path = dir.file("page.png");
  std::fclose(std::fopen(path.c_str(), "w"));
  const struct {
    const char* name;
    void (*configure)(Recognition&);
    std::string message;
  } cases[] = {
      {"load", [](Recognition& r) { r.decoding.imageObjectOpens = r.decoding.sourceOpens = false; },
       "load failed: CGImageSource failed: " + path},
      {"buffer", [](Recognition& r) { r.graphics.creationStatus = -6661; },
       "load failed: CVPixelBufferCreate failed status=-6661"},
      {"vision", [](Recognition& r) { r.recognizer.perform = [](const auto&, auto& e) { e = kPerformError; return false; }; },
       "vision failed: perform.domain code=-3 Perform failed."},
      {"vision_empty_payload",
       [](Recognition& r) { r.recognizer.perform = [](const auto&, auto& e) { e = PlatformError{"", 0, "", ""}; return false; }; },
       "vision failed: "},
      {"foreign", [](Recognition& r) { r.recognizer.perform = [](const auto&, auto&) -> bool { throw std::runtime_error("engine exploded"); }; },
       "engine exploded"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    Recognition recognition;
    testCase.configure(recognition);
    const auto outcome = runWith({"tarnwick", path, "ignored", "--also-ignored"}, recognition.platform);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, testing::errorLineFor(testCase.message));
  }
}

TEST(RunSequence, PrintsTheResultRecord) {
  testing::TempDir dir;
  const std::string path = dir.file("page.png");
  std::fclose(std::fopen(path.c_str(), "w"));
  Recognition recognition;
  recognition.recognizer.perform = [](const auto& requests, auto&) {
    requests.front()->complete(ObservationList{text("Hello world", 0.95F)}, nullptr);
    return true;
  };
  const auto outcome = runWith({"tarnwick", path}, recognition.platform);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out,
            R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","weak_ocr: very short recognition"],"lines":["Hello world"],"provider":"vision_mac","text":"Hello world"})" "\n");
}

}  // namespace
}  // namespace tarnwick
