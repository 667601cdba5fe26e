#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <vips/vips.h>

#include "support/test_support.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {
namespace {

using testing::errorLineFor;
using testing::runTool;
using testing::ToolRun;

const char* const kHelloWorldLine =
    R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","weak_ocr: very short recognition"],"lines":["Hello world"],"provider":"vision_mac","text":"Hello world"})" "\n";
const char* const kNoTextLine =
    R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","no text recognized"],"lines":[],"provider":"vision_mac","text":""})" "\n";

// Every run: one JSON line, status 0, nothing on stderr, never a signal.
void expectCleanRun(const ToolRun& run) {
  EXPECT_EQ(run.terminatingSignal, 0);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  testing::parseReportLine(run.out);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(EndToEnd, UsageLineAndStatusTwoWithoutAPath) {
  const ToolRun run = runTool({});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.err, "usage: tarnwick <image-path>\n");
  EXPECT_EQ(run.out, errorLineFor("usage: tarnwick <image-path>"));
  testing::parseReportLine(run.out);
}

class RecognitionEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<testing::TempDir>();
    helloWorld_ = testing::renderTextImage("Hello world", 40).release();
  }
  static void TearDownTestSuite() {
    g_object_unref(helloWorld_);
    dir_.reset();
  }
  static std::string save(VipsImage* image, const std::string& name, const std::string& options = "") {
    const std::string path = dir_->file(name);
    testing::saveImage(image, path + options);
    return path;
  }
  static inline std::unique_ptr<testing::TempDir> dir_;
  static inline VipsImage* helloWorld_ = nullptr;
};

TEST_F(RecognitionEndToEnd, ReadsHelloWorldExactly) {
  const ToolRun run = runTool({save(helloWorld_, "hello.png")});
  expectCleanRun(run);
  EXPECT_EQ(run.out, kHelloWorldLine);
}

TEST_F(RecognitionEndToEnd, ReadsEveryFormat) {
  const char* formats[] = {".jpg[Q=92]", ".tif", ".gif", ".webp[Q=95]", ".avif", ".heic"};
  for (const std::string format : formats) {
    const std::string suffix = format.substr(0, format.find('['));
    const std::string options = format.substr(suffix.size());
    if (vips_foreign_find_save(suffix.c_str()) == nullptr) {
      vips_error_clear();
      continue;  // this libvips cannot write it, so there is nothing to read back
    }
    SCOPED_TRACE(format);
    VipsImage* image = helloWorld_;
    const std::string path = dir_->file("hello" + suffix);
    if (vips_image_write_to_file(image, (path + options).c_str(), nullptr) != 0) {
      vips_error_clear();
      continue;  // no encoder for this format in the installed plugins
    }
    const ToolRun run = runTool({path});
    expectCleanRun(run);
    EXPECT_EQ(run.out, kHelloWorldLine);
  }
}

TEST_F(RecognitionEndToEnd, BlankPageIsTheNoTextRecord) {
  VipsImage* white = nullptr;
  ASSERT_EQ(vips_black(&white, 300, 120, nullptr), 0);
  testing::VipsImagePtr whiteOwner(white);
  VipsImage* inverted = nullptr;
  ASSERT_EQ(vips_invert(white, &inverted, nullptr), 0);
  testing::VipsImagePtr invertedOwner(inverted);
  const ToolRun run = runTool({save(inverted, "blank.png")});
  expectCleanRun(run);
  EXPECT_EQ(run.out, kNoTextLine);
}

TEST_F(RecognitionEndToEnd, TransparentAndRotatedImagesReadUpright) {
  // Black ink on a transparent background: alpha carries the text.
  VipsImage* ink = nullptr;
  ASSERT_EQ(vips_text(&ink, "Hello world", "font", "DejaVu Sans 40", "dpi", 72, nullptr), 0);
  testing::VipsImagePtr inkOwner(ink);
  VipsImage* padded = nullptr;
  ASSERT_EQ(vips_embed(ink, &padded, 40, 40, ink->Xsize + 80, ink->Ysize + 80, nullptr), 0);
  testing::VipsImagePtr paddedOwner(padded);
  VipsImage* black = nullptr;
  ASSERT_EQ(vips_black(&black, padded->Xsize, padded->Ysize, nullptr), 0);
  testing::VipsImagePtr blackOwner(black);
  VipsImage* greyAlpha = nullptr;
  ASSERT_EQ(vips_bandjoin2(black, padded, &greyAlpha, nullptr), 0);
  testing::VipsImagePtr greyAlphaOwner(greyAlpha);
  const ToolRun transparent = runTool({save(greyAlpha, "transparent.png")});
  expectCleanRun(transparent);
  EXPECT_EQ(transparent.out, kHelloWorldLine);

  // Stored turned a quarter to the left, with EXIF saying turn right to view.
  VipsImage* turned = nullptr;
  ASSERT_EQ(vips_rot(helloWorld_, &turned, VIPS_ANGLE_D270, nullptr), 0);
  testing::VipsImagePtr turnedOwner(turned);
  VipsImage* tagged = nullptr;
  ASSERT_EQ(vips_copy(turned, &tagged, nullptr), 0);
  testing::VipsImagePtr taggedOwner(tagged);
  vips_image_set_int(tagged, VIPS_META_ORIENTATION, 6);
  const ToolRun rotated = runTool({save(tagged, "rotated.jpg", "[Q=95]")});
  expectCleanRun(rotated);
  EXPECT_EQ(rotated.out, kHelloWorldLine);
}

TEST_F(RecognitionEndToEnd, OversizedImagesFailInBoundedMemory) {
  const std::string bomb = dir_->file("bomb.png");
  writeFile(bomb, testing::pngHeaderClaiming(100000, 100000));
  VipsImage* huge = nullptr;
  ASSERT_EQ(vips_black(&huge, 30000, 30000, nullptr), 0);
  testing::VipsImagePtr hugeOwner(huge);
  const std::string real = save(huge, "huge.png", "[compression=1]");
  for (const auto& path : {bomb, real}) {
    SCOPED_TRACE(path);
    const ToolRun run = runTool({path});
    expectCleanRun(run);
    EXPECT_EQ(run.out, errorLineFor("load failed: CVPixelBufferCreate failed status=-6662"));
    EXPECT_LT(run.peakRssKiB, 1024 * 1024);
    EXPECT_LT(run.elapsed, 5 * testing::promptly());
  }
}

TEST_F(RecognitionEndToEnd, EmbeddingGivesTheToolsLineAndLeavesStderrAlone) {
  struct stat before {}, after {};
  ASSERT_EQ(fstat(STDERR_FILENO, &before), 0);
  const std::string missing = dir_->file("missing.png");
  EXPECT_EQ(reportLine(recognizeImageFile(save(helloWorld_, "embedded.png"))), kHelloWorldLine);
  EXPECT_EQ(reportLine(recognizeImageFile(missing)), errorLineFor("load failed: not readable: " + missing));
  ASSERT_EQ(fstat(STDERR_FILENO, &after), 0);
  EXPECT_EQ(std::pair(after.st_dev, after.st_ino), std::pair(before.st_dev, before.st_ino));
}

TEST_F(RecognitionEndToEnd, LibraryChatterNeverReachesStderr) {
  const ToolRun run = runTool({save(helloWorld_, "chatty.png")},
                              {"G_MESSAGES_DEBUG=all", "VIPS_INFO=1", "VIPS_LEAK=1", "OMP_DISPLAY_ENV=true"});
  expectCleanRun(run);
  EXPECT_EQ(run.out, kHelloWorldLine);
}

}  // namespace
}  // namespace tarnwick
