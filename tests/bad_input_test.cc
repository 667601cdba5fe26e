// Whatever lands at the path, the real intake (the three decoding routes and
// the pixel buffer) either gives a buffer or refuses it, at once, with its
// message; and a file the caller may not read stays unread.
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>

#include "error/ocr_error.h"
#include "imaging/load_image.h"
#include "imaging/pixel_buffer_preparation.h"
#include "platform/library_setup.h"
#include "support/test_support.h"
#include "vips/vips_graphics.h"
#include "vips/vips_image_decoding.h"
#include "vips/vips_startup.h"

namespace tarnwick {
namespace {

std::string withBytesAt(std::string bytes, std::size_t at, const std::string& patch) {
  return bytes.replace(at, patch.size(), patch);
}

std::string bigEndian(std::uint32_t value) {
  return {char(value >> 24), char(value >> 16 & 0xFF), char(value >> 8 & 0xFF), char(value & 0xFF)};
}

// The PNG with its header claiming another size, its checksum made right.
std::string pngClaiming(const std::string& png, std::uint32_t width, std::uint32_t height) {
  const std::string patched = withBytesAt(png, 16, bigEndian(width) + bigEndian(height));
  return withBytesAt(patched, 29,
                     bigEndian(std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(patched.data() + 12), 17))));
}

TEST(BadInput, EveryFileEndsInABufferOrItsRefusal) {
  initialiseLibraries();
  initialiseVips("tarnwick_tests");
  const testing::TempDir dir;
  const auto file = [&](const std::string& name) { return dir.file(name); };
  enum Outcome { buffer, notReadable, noSource, noImage, tooMany };
  std::vector<std::tuple<std::string, Outcome, std::string>> cases;  // the path, what comes of it, the path as reported

  // Cut after 16 bytes, a third, two thirds and all but the last 8 bytes;
  // then one bit flipped a third and two thirds of the way in.
  ASSERT_TRUE(testing::saved(testing::hello(), file("whole.png")));
  const std::unique_ptr<PIX, void (*)(PIX*)> pix(pixRead(file("whole.png").c_str()), [](PIX* p) { pixDestroy(&p); });
  ASSERT_EQ(pixWrite(file("whole.bmp").c_str(), pix.get(), IFF_BMP), 0);  // libvips writes no BMP
  for (const auto& [format, outcomes] : {std::pair{"png", "rbbbbb"},
                                         {"jpg", "rbbbbb"},
                                         {"tif", "rrrrbb"},
                                         {"gif", "rbbbrb"},
                                         {"webp", "rrrrbb"},
                                         {"heic", "rrrrbb"},
                                         {"avif", "rrrrbb"},
                                         {"pgm", "rrrrbb"},
                                         {"bmp", "rrrrbb"}}) {
    const std::string whole = file(std::string("whole.") + format);
    ASSERT_TRUE(std::filesystem::exists(whole) || testing::saved(testing::hello(), whole)) << whole;
    const std::string bytes = testing::readBytes(whole);
    const std::size_t at[] = {16, bytes.size() / 3, bytes.size() * 2 / 3, bytes.size() - 8};
    for (std::size_t i = 0; i < 6; ++i) {
      const std::string damaged = file(std::to_string(i) + "." + format);
      testing::writeBytes(
          damaged, i < 4 ? bytes.substr(0, at[i]) : withBytesAt(bytes, at[i - 3], {char(bytes[at[i - 3]] ^ 0x10)}));
      cases.emplace_back(damaged, outcomes[i] == 'b' ? buffer : noImage, damaged);
    }
  }
  // Headers claiming no pixels or far too many: height then width in a
  // baseline JPEG's frame header, width then height in a GIF's screen and in
  // the descriptor of its first frame, which sits at the top left.
  ASSERT_TRUE(testing::saved(testing::hello(), file("real.jpg")) && testing::saved(testing::hello(), file("real.gif")));
  const std::string png = testing::readBytes(file("whole.png")), jpeg = testing::readBytes(file("real.jpg")),
                    gif = testing::readBytes(file("real.gif")), zero(4, '\0'), huge("\xFF\0\xFF\0", 4);
  const std::size_t jpegFrame = jpeg.find("\xFF\xC0") + 5, gifFrame = gif.find(std::string("\x2C\0\0\0\0", 5)) + 5;
  for (const auto& [name, bytes, outcome] :
       {std::tuple{"zero.png", pngClaiming(png, 0, 0), noImage},
        {"huge.png", pngClaiming(png, 100000, 100000), tooMany},
        {"zero.jpg", withBytesAt(jpeg, jpegFrame, zero), noImage},
        {"huge.jpg", withBytesAt(jpeg, jpegFrame, huge), tooMany},
        {"zero-frame.gif", withBytesAt(gif, gifFrame, zero), buffer},
        {"huge-frame.gif", withBytesAt(gif, gifFrame, huge), buffer},
        {"huge-screen.gif", withBytesAt(gif, 6, huge), buffer},
        {"zero.pgm", std::string("P5\n0 0\n255\n"), noImage},
        {"huge.pgm", "P5\n60000 60000\n255\n" + std::string(1024, '\x80'), noImage}}) {
    testing::writeBytes(file(name), bytes);
    cases.emplace_back(file(name), outcome, file(name));
  }
  // Paths that are not image files, or not files at all.
  const std::string odd = file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r ");
  std::filesystem::create_directory(file("folder"));
  testing::writeBytes(file("notes.txt"), "just some words\n");
  testing::writeBytes(file("empty.png"), "");
  ASSERT_EQ(mkfifo(file("fifo.png").c_str(), 0600), 0);
  std::filesystem::create_symlink(file("loop.png"), file("loop.png"));
  std::filesystem::create_symlink(file("missing.png"), file("dangling.png"));
  std::filesystem::copy_file(file("whole.png"), odd + "\xFF.png");
  std::string tooLong = dir.path();
  while (tooLong.size() <= PATH_MAX) tooLong += "/deeper";
  for (const auto& [path, outcome] : {std::pair{file("missing.png"), notReadable},
                                      {file("dangling.png"), notReadable},
                                      {file("loop.png"), notReadable},
                                      {std::string(), notReadable},
                                      {tooLong, notReadable},
                                      {file("folder"), noSource},
                                      {file("fifo.png"), noSource},
                                      {std::string("/dev/zero"), noSource},
                                      {file("notes.txt"), noImage},
                                      {file("empty.png"), noImage},
                                      {file("no-such-folder/../notes.txt"), noImage},
                                      {odd + "\xFF.png", buffer}})
    cases.emplace_back(path, outcome, path);
  cases.emplace_back(file("missing\xFF\xFE.png"), notReadable, file("missing\uFFFD\uFFFD.png"));
  cases.emplace_back(odd + "\xFF.missing", notReadable, odd + "\uFFFD.missing");

  VipsImageDecoding decoding;
  VipsGraphics graphics;
  const auto intake = [&](const std::string& path) -> std::string {
    try {
      return makeBGRAPixelBuffer(loadCGImage(path, decoding), graphics), "a buffer";
    } catch (const OcrError& error) {
      return error.message();
    }
  };
  const std::string says[] = {"a buffer", "not readable: ", "CGImageSource failed: ", "no image at index 0: ",
                              "CVPixelBufferCreate failed status=-6662"};
  for (const auto& [path, outcome, reported] : cases)
    EXPECT_EQ(intake(path), says[outcome] + (outcome == buffer || outcome == tooMany ? "" : reported)) << path;
  // Started in a directory removed since, a relative path cannot be read.
  const auto here = std::filesystem::current_path();
  std::filesystem::create_directory(file("gone"));
  std::filesystem::current_path(file("gone"));
  std::filesystem::remove(file("gone"));
  EXPECT_EQ(intake("whole.png"), "not readable: whole.png");
  std::filesystem::current_path(here);
}

// setpriv starts the tool with root's capabilities still in effect, so it
// runs even from a directory the user may not search; it then reads only
// what that user may, so it comes with its module into one the user may pass.
TEST(BadInput, FileTheCallerMayNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as the throw-away user 65534";
  const testing::TempDir dir;
  for (auto parent = dir.path().parent_path(); parent != parent.root_path(); parent = parent.parent_path())
    if ((std::filesystem::status(parent).permissions() & std::filesystem::perms::others_exec) ==
        std::filesystem::perms::none)
      GTEST_SKIP() << "user 65534 may not reach " << parent;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  for (const char* shipped : {"tarnwick", "tarnwick-imaging.so"})
    std::filesystem::copy_file(std::filesystem::path(TARNWICK_BINARY).parent_path() / shipped, dir.file(shipped));
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("private.png")));
  std::filesystem::permissions(dir.file("private.png"), std::filesystem::perms::owner_read);
  const testing::ToolRun run = testing::runTool(
      {dir.file("private.png")}, {.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                                  .tool = dir.file("tarnwick")});
  EXPECT_EQ(std::tuple(run.out, run.err, run.exitStatus),
            std::tuple(testing::errorLineFor("load failed: not readable: " + dir.file("private.png")), "", 0));
}

}  // namespace
}  // namespace tarnwick
