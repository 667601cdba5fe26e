// A run from the outside in: the real binary where the process is the
// point (its streams, its status, its modules), the process-wide start-up,
// the deadline and the embedding interface; then a run's image intake and
// recognition over fakes of the platform: the decoding routes tried, the
// pixel buffers made, and the record made of the recognizer's answer or its
// failure.
#include <set>
#include <sstream>
#include <stdexcept>

#include "app/huge_pages.h"
#include "app/process_startup.h"
#include "app/run.h"
#include "app/run_deadline.h"
#include "report/json_report.h"
#include "support/test_support.h"
#include "vips/vips_graphics.h"

namespace tarnwick {
namespace {

using testing::errorLineFor, testing::kHelloWorldLine, testing::StandardOutput;

TEST(EndToEnd, EveryRunWritesItsOneLineOnceAndOnlyTheUsageLineToStderr) {
  const testing::TempDir dir;
  for (const char* name : {"hello.png", "hello.heic"}) ASSERT_TRUE(testing::saved(testing::hello(), dir.file(name)));
  // The command away from its recognizer program, and the program away from its module.
  const std::filesystem::path built = std::filesystem::path(TARNWICK_BINARY).parent_path();
  for (const char* alone : {"tarnwick", "tarnwick-reader"}) {
    std::filesystem::create_directory(dir.file(alone + std::string(".alone")));
    std::filesystem::copy_file(built / alone, dir.file(alone + std::string(".alone/") + alone));
  }
  const std::string usage = "usage: tarnwick <image-path>";
  std::vector<std::tuple<std::vector<std::string>, testing::Launch, std::string>> cases = {
      {{}, {}, errorLineFor(usage)},
      {{"G_MESSAGES_DEBUG=all", "VIPS_INFO=1", "OMP_DISPLAY_ENV=true", TARNWICK_BINARY, dir.file("hello.png")},
       {.tool = "/usr/bin/env"}, kHelloWorldLine},
      {{dir.file("hello.heic")}, {}, kHelloWorldLine},
      {{dir.file("hello.png")}, {.tool = dir.file("tarnwick.alone/tarnwick")},
       errorLineFor("vision failed: cannot start the recognizer program tarnwick-reader")},
      {{dir.file("hello.png")}, {.tool = dir.file("tarnwick-reader.alone/tarnwick-reader")},
       errorLineFor("cannot load the imaging module tarnwick-imaging.so")}};
  // Output that cannot be written: no line, and still no signal.
  for (const auto output : {StandardOutput::closed, StandardOutput::devFull, StandardOutput::pipeWithoutReader})
    for (const auto& arguments : {std::vector<std::string>{}, {dir.file("missing.png")}})
      cases.emplace_back(arguments, testing::Launch{.standardOutput = output}, "");
  cases.emplace_back(std::vector{dir.file("hello.png")},
                     testing::Launch{.tool = dir.file("tarnwick.alone/tarnwick"), .standardOutput = StandardOutput::pipeWithoutReader},
                     "");
  for (const auto& [arguments, launch, line] : cases) {
    const testing::ToolRun run = testing::runTool(arguments, launch);
    const bool noPath = arguments.empty();
    EXPECT_EQ(std::tuple(run.out, run.writes, run.err, run.exitStatus),
              std::tuple(line, line.empty() ? 0 : 1, noPath ? usage + "\n" : "", noPath ? 2 : 0))
        << (noPath ? "no path" : arguments.back()) << ", output " << int(launch.standardOutput);
    if (!line.empty()) testing::parseReportLine(run.out);
  }
}

// Starts the platform with the descriptors given closed and ends the
// process, writing to standard error as it was what the standard descriptors
// and the stream for the tool's own words are then: kept as they were, closed,
// or the file they are open to and for reading (r) or writing (w).
void startWith(const std::vector<int>& closed) {
  const int report = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
  for (const int fd : {0, 1, 2}) dup2(open("/dev/zero", O_RDWR), fd);  // what they are before
  for (const int fd : closed) close(fd);
  const int own = fileno(startPlatform());
  std::string state = own > 2 ? "" : "standard ";
  for (const int fd : {0, 1, 2, own}) {
    std::error_code gone;
    const std::string file = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), gone);
    state += gone ? "closed " : file == "/dev/zero" ? "kept " : file + "-" + "rw"[fcntl(fd, F_GETFL) & O_ACCMODE] + ' ';
  }
  _exit(write(report, state.data(), state.size()) == ssize_t(state.size()) ? 0 : 1);
}

TEST(ProcessStartup, KeepsTheStandardDescriptorsTakenAndStderrForTheToolAlone) {
  EXPECT_EXIT(startWith({}), ::testing::ExitedWithCode(0), "^kept kept /dev/null-w kept $");
  EXPECT_EXIT(startWith({0, 1, 2}), ::testing::ExitedWithCode(0), "^/dev/null-r /dev/null-w /dev/null-w /dev/null-w $");
}

TEST(ProcessStartup, AsksForHugePagesOnceAmongTheCallersTunablesAndKeepsTheRestOfItsEnvironment) {
  using Variables = std::vector<std::string>;
  const std::string asked = "GLIBC_TUNABLES=glibc.malloc.hugetlb=1:glibc.malloc.top_pad=67108864";
  const std::vector<std::pair<Variables, std::optional<Variables>>> cases = {
      {{"PATH=/bin", "MY_GLIBC_TUNABLES=x"}, Variables{"PATH=/bin", "MY_GLIBC_TUNABLES=x", asked}},
      {{"GLIBC_TUNABLES=glibc.malloc.arena_max=2", "HOME=/"},
       Variables{"HOME=/", "GLIBC_TUNABLES=glibc.malloc.arena_max=2:glibc.malloc.hugetlb=1:"
                           "glibc.malloc.top_pad=67108864"}},
      {{"GLIBC_TUNABLES="}, Variables{asked}},
      {{"GLIBC_TUNABLES=glibc.malloc.top_pad=0"},
       Variables{"GLIBC_TUNABLES=glibc.malloc.top_pad=0:glibc.malloc.hugetlb=1"}},
      {{"GLIBC_TUNABLES=glibc.malloc.hugetlb=0", "HOME=/"}, std::nullopt},
      {{asked}, std::nullopt}};
  for (auto [given, restarted] : cases) {
    std::vector<char*> environment;
    for (std::string& variable : given) environment.push_back(variable.data());
    environment.push_back(nullptr);
    EXPECT_EQ(hugePageEnvironment(environment.data()), restarted) << given.front();
  }
}

TEST(RunDeadline, EndsAStuckRunWithItsLineAndLetsAFinishedOneGo) {
  EXPECT_EXIT({ const RunDeadline deadline(std::chrono::milliseconds(50), "late\n", stderr); pause(); },
              ::testing::ExitedWithCode(0), "^late\n$");
  // Far beyond the hang guard: only the end of the run stops this clock.
  ::testing::internal::CaptureStderr();
  { const RunDeadline deadline(std::chrono::minutes(10), "never\n", stderr); }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Embedding, GivesTheToolsLineAndPrintsNothing) {
  const testing::TempDir dir;
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("hello.png")));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reportLine(recognizeImageFile(dir.file("hello.png"))), kHelloWorldLine);
  EXPECT_EQ(reportLine(recognizeImageFile("/no/such.png")), errorLineFor("load failed: not readable: /no/such.png"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

using V = std::vector<std::string>;
using Requests = std::vector<TextRecognitionRequest*>;
using Error = std::optional<PlatformError>;
using Perform = std::function<bool(const Requests&, Error&)>;

// The platform over fakes. Its decoding opens everything as an image of 4 x 3
// pixels, records each call as its name and arguments ("imageAtIndex 0"), in
// order, and fails every call whose name is in `failing`; its recognizer runs
// `perform` against the requests, by default answering with no results.
struct FakePlatform final : ImageDecoding, TextRecognition {
  std::set<std::string> failing;
  V calls;
  Perform perform = [](const Requests& requests, Error&) { return requests.front()->complete({}, nullptr), true; };
  const int vipsStarted = VIPS_INIT("run_test");
  VipsGraphics graphics;
  Platform platform{*this, graphics, *this};
  bool succeeds(const std::string& call) {
    calls.push_back(call);
    return !failing.contains(call.substr(0, call.find(' ')));
  }
  std::optional<Image> image(const std::string& call) {
    VipsImage* black = nullptr;
    if (!succeeds(call) || vips_black(&black, 4, 3, "bands", 3, nullptr) != 0) return std::nullopt;
    return Image(black);
  }
  // What it opens, and the handler of its requests.
  struct Opened final : ImageObject, ImageSource, ImageRequestHandler {
    FakePlatform& of;
    explicit Opened(FakePlatform& fakes) : of(fakes) {}
    Size size() const override { return {4, 3}; }
    std::optional<Image> imageForProposedRect(Rect& r) override {
      return of.image((std::ostringstream() << "imageForProposedRect " << r.x << ' ' << r.y << ' ' << r.width << ' '
                                            << r.height).str());
    }
    std::optional<Bytes> tiffRepresentation() override {
      return of.succeeds("tiffRepresentation") ? std::optional(Bytes{'I', 'I'}) : std::nullopt;
    }
    std::optional<Image> imageAtIndex(std::size_t i) override { return of.image("imageAtIndex " + std::to_string(i)); }
    bool performRequests(const Requests& requests, Error& error) override { return of.perform(requests, error); }
  };
  std::unique_ptr<ImageObject> makeImageObject(const std::string& path) override {
    return succeeds("makeImageObject " + path) ? std::make_unique<Opened>(*this) : nullptr;
  }
  std::optional<Image> bitmapImageFromTIFFData(const Bytes&) override { return image("bitmapImageFromTIFFData"); }
  std::unique_ptr<ImageSource> makeImageSource(const std::string& path) override {
    return succeeds("makeImageSource " + path) ? std::make_unique<Opened>(*this) : nullptr;
  }
  std::unique_ptr<ImageRequestHandler> makeImageRequestHandler(const PixelBuffer&, ImageOrientation,
                                                               const ImageRequestHandlerOptions&) override {
    return std::make_unique<Opened>(*this);
  }
  std::string lineFor(const std::string& path) {
    return reportLine(recognizeImageAt(path, [this]() -> Platform& { return platform; }));
  }
};

struct FakeTextObservation final : RecognizedTextObservation {
  std::vector<RecognizedText> candidates;
  explicit FakeTextObservation(std::vector<RecognizedText> all) : candidates(std::move(all)) {}
  std::vector<RecognizedText> topCandidates(std::size_t most) const override {
    return {candidates.begin(), candidates.begin() + std::min(most, candidates.size())};
  }
};

// A file the readability test passes; the fakes read none.
const std::string kPage = TARNWICK_BINARY;

const std::string kNotes = R"({"confidence_notes":["provider vision_mac","recognition_languages en-US")";
const std::string kNoText = kNotes + R"(,"no text recognized"],"lines":[],"provider":"vision_mac","text":""})" "\n";

TEST(ImageIntake, TriesEachRouteInTurnAndNamesThePathAsTypedWhenAllFail) {
  const std::string object = "makeImageObject " + kPage, image = "imageForProposedRect 0 0 4 3",
                    tiff = "tiffRepresentation", fromTiff = "bitmapImageFromTIFFData",
                    source = "makeImageSource " + kPage, first = "imageAtIndex 0";
  const auto failed = [](const std::string& message) { return errorLineFor("load failed: " + message); };
  // The calls that fail; the calls made and the line.
  const std::tuple<std::set<std::string>, V, std::string> cases[] = {
      {{}, {object, image}, kNoText},
      {{"imageForProposedRect"}, {object, image, tiff, fromTiff}, kNoText},
      {{"makeImageObject"}, {object, source, first}, kNoText},
      {{"imageForProposedRect", "tiffRepresentation"}, {object, image, tiff, source, first}, kNoText},
      {{"makeImageObject", "makeImageSource"}, {object, source}, failed("CGImageSource failed: " + kPage)},
      {{"imageForProposedRect", fromTiff, "imageAtIndex"}, {object, image, tiff, fromTiff, source, first},
       failed("no image at index 0: " + kPage)}};
  for (const auto& [failing, calls, line] : cases) {
    FakePlatform p;
    p.failing = failing;
    EXPECT_EQ(p.lineFor(kPage), line);
    EXPECT_EQ(p.calls, calls);
  }
}

TEST(PixelBuffers, HoldBGRARowsAlignedTo64BytesUpToTheirPixelLimit) {
  // Width and height; the status and bytes a row, 0 for no buffer.
  const std::tuple<std::int64_t, std::int64_t, std::int32_t, std::size_t> cases[] = {
      {1, 1, 0, 64}, {16, 2, 0, 64}, {17, 1, 0, 128}, {8000, 8000, 0, 32000},
      {8001, 8000, -6662, 0}, {0, 1, -6661, 0}, {1, 0, -6661, 0}};
  for (const auto& [width, height, status, bytesPerRow] : cases) {
    const PixelBufferCreation made = createPixelBuffer(width, height, kPixelFormat32BGRA);
    EXPECT_EQ(std::pair(made.status, made.buffer ? made.buffer->bytesPerRow() : 0), std::pair(status, bytesPerRow))
        << width << "x" << height;
  }
  EXPECT_EQ(createPixelBuffer(4, 3, 0x52474241 /* RGBA */).status, -6661);
}

std::shared_ptr<const Observation> text(const std::vector<RecognizedText>& candidates) {
  return std::make_shared<FakeTextObservation>(candidates);
}

TEST(Recognition, ReportsTheTextOfAnswersThatAreAllTextOrWhyThereIsNone) {
  const PlatformError performError{"perform.domain", 0, "Perform failed.", "plain"};
  const PlatformError callbackError{"callback.domain", 9, "Callback failed.", ""};
  const auto answering = [](std::optional<ObservationList> results) -> Perform {
    return [=](const Requests& requests, Error&) { return requests.front()->complete(results, nullptr), true; };
  };
  const std::pair<Perform, std::string> cases[] = {
      {answering(ObservationList{text({{"kept?", 1}}), std::make_shared<Observation>()}), kNoText},
      {answering(ObservationList{text({{"first line", 1}}), text({}), text({{"second", 0.9F}, {"no", 1}})}),
       kNotes + R"(],"lines":["first line","second"],"provider":"vision_mac","text":"first line\nsecond"})" "\n"},
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
      {[](const Requests&, Error&) -> bool { throw std::runtime_error("boom"); }, errorLineFor("boom")}};
  for (const auto& [perform, line] : cases) {
    FakePlatform p;
    p.perform = perform;
    EXPECT_EQ(p.lineFor(kPage), line);
  }
}

}  // namespace
}  // namespace tarnwick
