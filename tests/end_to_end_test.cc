#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <vips/vips.h>

#include "support/test_support.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {
namespace {

using testing::derived;
using testing::errorLineFor;
using testing::kHelloWorldLine;
using testing::runTool;
using testing::ToolRun;
using testing::VipsImagePtr;

// One JSON line, the given status, nothing on stderr, never a signal.
std::string cleanRunOutput(const std::vector<std::string>& arguments, int status = 0,
                           const std::vector<std::string>& environment = {}) {
  const ToolRun run = runTool(arguments, environment);
  EXPECT_EQ(run.terminatingSignal, 0);
  EXPECT_EQ(run.exitStatus, status);
  EXPECT_EQ(run.err, status == 2 ? "usage: tarnwick <image-path>\n" : "");
  testing::parseReportLine(run.out);
  return run.out;
}

TEST(EndToEnd, UsageLineAndStatusTwoWithoutAPath) {
  EXPECT_EQ(cleanRunOutput({}, 2), errorLineFor("usage: tarnwick <image-path>"));
}

class RecognitionEndToEnd : public testing::RenderedTextSuite {};

// A copy of the command away from its build tree finds no image decoders
// and says so in the error record instead of failing to start.
TEST_F(RecognitionEndToEnd, AMissingImagingModuleIsAnErrorRecord) {
  ASSERT_TRUE(saved(hello_, "hello.png"));
  const std::string copy = file("tarnwick");
  std::filesystem::copy_file(TARNWICK_BINARY, copy);
  const ToolRun run = runTool({file("hello.png")}, {}, {.wrapper = {}, .tool = copy});
  EXPECT_EQ(run.terminatingSignal, 0);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, errorLineFor("cannot load the imaging module tarnwick-imaging.so"));
}

TEST_F(RecognitionEndToEnd, ReadsEveryFormat) {
  const std::pair<const char*, const char*> formats[] = {{"png", ""},  {"jpg", "[Q=92]"},  {"tif", ""},  {"gif", ""},
                                                         {"webp", "[Q=95]"}, {"avif", ""}, {"heic", ""}};
  for (const auto& [suffix, options] : formats) {
    SCOPED_TRACE(suffix);
    const std::string name = std::string("hello.") + suffix;
    if (!saved(hello_, name, options)) continue;  // no encoder for it in this libvips
    EXPECT_EQ(cleanRunOutput({file(name)}), kHelloWorldLine);
  }
}

TEST_F(RecognitionEndToEnd, BlankPageIsTheNoTextRecord) {
  const VipsImagePtr black = derived([](VipsImage** out) { return vips_black(out, 300, 120, nullptr); });
  const VipsImagePtr white = derived([&](VipsImage** out) { return vips_invert(black.get(), out, nullptr); });
  ASSERT_TRUE(saved(white.get(), "blank.png"));
  EXPECT_EQ(cleanRunOutput({file("blank.png")}),
            R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","no text recognized"],)"
            R"("lines":[],"provider":"vision_mac","text":""})" "\n");
}

TEST_F(RecognitionEndToEnd, TransparentAndRotatedImagesReadUpright) {
  // Black ink on a transparent background: alpha carries the text.
  const VipsImagePtr coverage = derived([](VipsImage** out) { return vips_extract_band(hello_, out, 0, nullptr); });
  const VipsImagePtr ink = derived([&](VipsImage** out) { return vips_invert(coverage.get(), out, nullptr); });
  const VipsImagePtr black =
      derived([&](VipsImage** out) { return vips_black(out, hello_->Xsize, hello_->Ysize, nullptr); });
  const VipsImagePtr blackInk =
      derived([&](VipsImage** out) { return vips_bandjoin2(black.get(), ink.get(), out, nullptr); });
  ASSERT_TRUE(saved(blackInk.get(), "transparent.png"));
  EXPECT_EQ(cleanRunOutput({file("transparent.png")}), kHelloWorldLine);

  // Stored turned a quarter to the left, with EXIF saying turn right to view.
  const VipsImagePtr turned = derived([](VipsImage** out) { return vips_rot(hello_, out, VIPS_ANGLE_D270, nullptr); });
  const VipsImagePtr tagged = derived([&](VipsImage** out) { return vips_copy(turned.get(), out, nullptr); });
  vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, 6);
  ASSERT_TRUE(saved(tagged.get(), "rotated.jpg", "[Q=95]"));
  EXPECT_EQ(cleanRunOutput({file("rotated.jpg")}), kHelloWorldLine);
}

TEST_F(RecognitionEndToEnd, OversizedImagesFailInBoundedMemory) {
  std::ofstream(file("bomb.png"), std::ios::binary) << testing::pngHeaderClaiming(100000, 100000);
  const VipsImagePtr huge = derived([](VipsImage** out) { return vips_black(out, 30000, 30000, nullptr); });
  ASSERT_TRUE(saved(huge.get(), "huge.png", "[compression=1]"));
  for (const auto& path : {file("bomb.png"), file("huge.png")}) {
    SCOPED_TRACE(path);
    const ToolRun run = runTool({path});
    EXPECT_EQ(run.out, errorLineFor("load failed: CVPixelBufferCreate failed status=-6662"));
    EXPECT_EQ(std::pair(run.exitStatus, run.err), std::pair(0, std::string()));
    EXPECT_LT(run.peakRssKiB, 1024 * 1024);
    EXPECT_LT(run.elapsed, 5 * testing::promptly());
  }
}

TEST_F(RecognitionEndToEnd, EmbeddingGivesTheToolsLineAndLeavesStderrAlone) {
  struct stat before {}, after {};
  ASSERT_EQ(fstat(STDERR_FILENO, &before), 0);
  ASSERT_TRUE(saved(hello_, "embedded.png"));
  EXPECT_EQ(reportLine(recognizeImageFile(file("embedded.png"))), kHelloWorldLine);
  EXPECT_EQ(reportLine(recognizeImageFile(file("missing.png"))),
            errorLineFor("load failed: not readable: " + file("missing.png")));
  ASSERT_EQ(fstat(STDERR_FILENO, &after), 0);
  EXPECT_EQ(std::pair(after.st_dev, after.st_ino), std::pair(before.st_dev, before.st_ino));
}

TEST_F(RecognitionEndToEnd, LibraryChatterNeverReachesStderr) {
  ASSERT_TRUE(saved(hello_, "chatty.png"));
  EXPECT_EQ(cleanRunOutput({file("chatty.png")}, 0,
                           {"G_MESSAGES_DEBUG=all", "VIPS_INFO=1", "VIPS_LEAK=1", "OMP_DISPLAY_ENV=true"}),
            kHelloWorldLine);
}

}  // namespace
}  // namespace tarnwick
