// Whatever lands at the path, and wherever the line goes: one report line
// (or none when output cannot be written), the contract's status, nothing on
// stderr, no signal, and promptly.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <thread>

#include <leptonica/allheaders.h>
#include <vips/vips.h>

#include "app/run_deadline.h"
#include "vips/vips_startup.h"
#include "vips/vips_image_decoding.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::errorLineFor;
using testing::Launch;
using testing::runTool;
using testing::StandardOutput;
using testing::ToolRun;
using testing::VipsImagePtr;

using testing::derived;
using testing::kHelloWorldLine;

const std::string kResultStart = R"({"confidence_notes":["provider vision_mac","recognition_languages en-US")";

// What a damaged file still shows, and what the recognizer makes of it, is
// the platform's business: such runs are held only to getting past the image
// intake, which this stand-in for a line asks for.
const std::string kPastIntake = "any record but a load failure";

std::string noImage(const std::string& path) { return errorLineFor("load failed: no image at index 0: " + path); }

void expectLine(const std::string& path, const std::string& line, const Launch& launch = {},
                long maxPeakRssKiB = 0) {
  SCOPED_TRACE(path);
  const ToolRun run = runTool({path}, {}, launch);
  if (maxPeakRssKiB > 0) {
    EXPECT_LT(run.peakRssKiB, maxPeakRssKiB);
  }
  EXPECT_EQ(run.terminatingSignal, 0);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_LT(run.elapsed, testing::promptly());
  testing::parseReportLine(run.out);
  if (line == kPastIntake)
    EXPECT_NE(run.out.rfind(R"({"confidence_notes":["load failed: )", 0), 0U) << run.out;
  else
    EXPECT_EQ(run.out, line);
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

class BadInput : public testing::RenderedTextSuite {
 protected:
  // libvips writes no BMP; Leptonica does.
  static std::string savedBmp(const std::string& name) {
    EXPECT_TRUE(saved(hello_, name + ".png"));
    const std::unique_ptr<PIX, void (*)(PIX*)> pix(pixRead(file(name + ".png").c_str()),
                                                   [](PIX* p) { pixDestroy(&p); });
    EXPECT_EQ(pixWrite(file(name).c_str(), pix.get(), IFF_BMP), 0);
    return file(name);
  }
};

enum Outcome { refused, read, partial };

// A format, made by libvips unless it has an encoder of its own, and what
// each of its damaged copies reads as.
struct DamagedFormat {
  const char* name;
  std::array<Outcome, 6> outcomes;
  bool (*encode)(const std::string& name) = nullptr;
};

class DamagedFiles : public BadInput {
 protected:
  // Cut after 16 bytes, a third, two thirds, and all but the last 8 bytes;
  // then one bit flipped a third and two thirds of the way in.
  static void expectOutcomes(const std::vector<DamagedFormat>& formats) {
    const auto expected = [](Outcome outcome, const std::string& path) {
      return outcome == refused ? noImage(path) : outcome == read ? kHelloWorldLine : kPastIntake;
    };
    for (const auto& [name, outcomes, encode] : formats) {
      const std::string format = name;
      if (encode != nullptr) {
        ASSERT_TRUE(encode("whole." + format));
      } else if (!saved(hello_, "whole." + format)) {
        continue;  // no encoder here
      }
      const std::string whole = readBytes(file("whole." + format));
      const std::size_t size = whole.size();
      const std::size_t cuts[] = {16, size / 3, size * 2 / 3, size - 8};
      for (std::size_t i = 0; i < 4; ++i) {
        writeBytes(file("cut." + format), whole.substr(0, cuts[i]));
        expectLine(file("cut." + format), expected(outcomes[i], file("cut." + format)));
      }
      for (std::size_t i = 0; i < 2; ++i) {
        std::string flipped = whole;
        flipped[cuts[i + 1]] ^= 0x10;
        writeBytes(file("flipped." + format), flipped);
        expectLine(file("flipped." + format), expected(outcomes[4 + i], file("flipped." + format)));
      }
    }
  }
};

TEST_F(DamagedFiles, OfEveryFormatLibvipsAndLeptonicaRead) {
  expectOutcomes({
      {"png", {refused, partial, partial, read, read, read}},
      {"jpg", {refused, partial, partial, read, partial, partial}},
      {"tif", {refused, refused, refused, refused, read, read}},
      {"gif", {refused, partial, partial, read, refused, partial}},
      {"webp", {refused, refused, refused, refused, partial, read}},
      {"heic", {refused, refused, refused, refused, partial, partial}},
      {"avif", {refused, refused, refused, refused, partial, partial}},
      {"pgm", {refused, refused, refused, refused, read, read}},
  });
}

// Formats libvips does not write come from Leptonica, ImageMagick or Pillow.
TEST_F(DamagedFiles, OfEveryImageFormatDecoderChildrenRead) {
  expectOutcomes({
      {"bmp", {refused, refused, refused, refused, read, read},
       [](const std::string& name) { return !savedBmp(name).empty(); }},
      {"rle8.bmp", {refused, refused, refused, refused, partial, read},
       [](const std::string& name) { return converted(name, {"-type", "palette", "-compress", "RLE"}, "bmp3:"); }},
      {"tga", {refused, refused, refused, read, read, partial},
       [](const std::string& name) { return pillowSaved(name, "compression='tga_rle'"); }},
      {"ico", {refused, refused, refused, partial, refused, refused},
       [](const std::string& name) { return converted(name, {"-define", "icon:auto-resize=256,16"}); }},
      {"psd", {refused, read, read, read, read, read}, [](auto& name) { return converted(name); }},
      {"dds", {refused, refused, refused, refused, read, read}, [](auto& name) { return converted(name); }},
      {"pcx", {refused, refused, refused, refused, read, partial}, [](auto& name) { return converted(name); }},
      {"sgi", {refused, partial, partial, read, refused, partial}, [](auto& name) { return converted(name); }},
      {"xpm", {refused, refused, refused, refused, read, read}, [](auto& name) { return converted(name); }},
      {"exr", {refused, refused, refused, refused, read, read}, [](auto& name) { return converted(name); }},
  });
}

TEST_F(DamagedFiles, OfEveryDocumentFormatDecoderChildrenRead) {
  expectOutcomes({
      {"pdf", {refused, refused, refused, read, read, read},
       [](const std::string& name) { return pillowSaved(name, "resolution=300"); }},
      {"svg", {refused, refused, refused, refused, read, read},
       [](const std::string& name) {
         std::ofstream(file(name)) << R"(<svg xmlns="http://www.w3.org/2000/svg" width="120" height="40">)"
                                   << R"(<rect width="120" height="40" fill="white"/><text x="10" y="25" )"
                                   << R"(font-family="DejaVu Sans" font-size="13">Hello world</text></svg>)";
         return true;
       }},
  });
}

TEST_F(BadInput, LayoutsDecodersTreatApartAllReadTheFirstImage) {
  // Grey and alpha: black ink whose coverage is the alpha, so only
  // compositing over white shows it.
  const VipsImagePtr coverage = derived([](VipsImage** out) { return vips_extract_band(hello_, out, 0, nullptr); });
  const VipsImagePtr ink = derived([&](VipsImage** out) { return vips_invert(coverage.get(), out, nullptr); });
  const VipsImagePtr black = derived([&](VipsImage** out) { return vips_black(out, hello_->Xsize, hello_->Ysize, nullptr); });
  const VipsImagePtr blackInk = derived([&](VipsImage** out) { return vips_bandjoin2(black.get(), ink.get(), out, nullptr); });
  const VipsImagePtr blackInk16 = derived(
      [&](VipsImage** out) { return vips_cast(blackInk.get(), out, VIPS_FORMAT_USHORT, "shift", TRUE, nullptr); });
  const VipsImagePtr floats = derived([](VipsImage** out) { return vips_cast_float(hello_, out, nullptr); });
  const VipsImagePtr cmyk =
      derived([](VipsImage** out) { return vips_colourspace(hello_, out, VIPS_INTERPRETATION_CMYK, nullptr); });
  // A second page or frame of other words, which must not be read.
  const VipsImagePtr other = testing::renderTextImage("Other page", 40);
  const VipsImagePtr otherSized = derived([&](VipsImage** out) {
    return vips_gravity(other.get(), out, VIPS_COMPASS_DIRECTION_CENTRE, hello_->Xsize, hello_->Ysize, "extend",
                        VIPS_EXTEND_WHITE, nullptr);
  });
  const VipsImagePtr pages = derived(
      [&](VipsImage** out) { return vips_join(hello_, otherSized.get(), out, VIPS_DIRECTION_VERTICAL, nullptr); });
  const std::string pageHeight = "page-height=" + std::to_string(hello_->Ysize);

  const struct {
    VipsImage* image;
    const char* name;
    std::string options;
  } layouts[] = {
      {hello_, "interlaced.png", "[interlace]"},
      {blackInk.get(), "palette-transparent.png", "[palette]"},
      {blackInk16.get(), "grey16-alpha.png", "[bitdepth=16]"},
      {coverage.get(), "one-bit.tif", "[bitdepth=1,compression=ccittfax4]"},
      {floats.get(), "float.tif", ""},
      {pages.get(), "pages.tif", "[" + pageHeight + "]"},
      {pages.get(), "animated.gif", "[" + pageHeight + "]"},
      {hello_, "progressive.jpg", "[interlace]"},
      {cmyk.get(), "cmyk.jpg", "[strip]"},
      {hello_, "icc.jpg", "[profile=p3]"},
  };
  for (const auto& [image, name, options] : layouts) {
    ASSERT_TRUE(saved(image, name, options)) << name;
    expectLine(file(name), kHelloWorldLine);
  }
}

std::string withBytesAt(std::string bytes, std::size_t at, const std::string& patch) {
  return bytes.replace(at, patch.size(), patch);
}

TEST_F(BadInput, HeadersClaimingNoPixelsOrFarTooMany) {
  ASSERT_TRUE(saved(hello_, "real.jpg"));
  ASSERT_TRUE(saved(hello_, "real.gif"));
  const std::string jpeg = readBytes(file("real.jpg")), gif = readBytes(file("real.gif"));
  // Height then width in a baseline JPEG's frame header; width then height
  // in the descriptor of a GIF's first image, which sits at the top left.
  const std::size_t jpegFrame = jpeg.find("\xFF\xC0") + 5, gifFrame = gif.find(std::string("\x2C\0\0\0\0", 5)) + 5;
  const std::string zero(4, '\0'), huge("\xFF\0\xFF\0", 4);
  const std::string tooMany = errorLineFor("load failed: CVPixelBufferCreate failed status=-6662");
  const std::string blank = kResultStart + R"(,"no text recognized"],"lines":[],"provider":"vision_mac","text":""})" "\n";
  const struct {
    const char* name;
    std::string bytes;
    std::string line;
  } headers[] = {
      {"zero.png", testing::pngHeaderClaiming(0, 0), noImage(file("zero.png"))},
      {"zero.jpg", withBytesAt(jpeg, jpegFrame, zero), noImage(file("zero.jpg"))},
      {"huge.jpg", withBytesAt(jpeg, jpegFrame, huge), tooMany},
      {"zero-frame.gif", withBytesAt(gif, gifFrame, zero), blank},
      // The GIF decoder cuts frames to the screen and sizes a screen from its frames.
      {"huge-frame.gif", withBytesAt(gif, gifFrame, huge), blank},
      {"huge-screen.gif", withBytesAt(gif, 6, huge), kHelloWorldLine},
      {"zero.pgm", "P5\n0 0\n255\n", noImage(file("zero.pgm"))},
      {"huge.pgm", "P5\n60000 60000\n255\n" + std::string(1024, '\x80'), noImage(file("huge.pgm"))},
  };
  for (const auto& [name, bytes, line] : headers) {
    writeBytes(file(name), bytes);
    expectLine(file(name), line);
  }
}

// Headers of the formats decoder children read, each claiming more pixels
// (or icons) than any route takes: refused before the pixels exist, so the
// run, its child included, stays small. ImageMagick's readers are handed
// 8001 x 8001, which it would allocate and fill unless told its limits.
TEST_F(BadInput, NewRoutesRefuseHugeHeadersBeforeDecoding) {
  ASSERT_TRUE(pillowSaved("real.tga"));
  ASSERT_TRUE(converted("real.ico", {"-resize", "32x32"}));
  for (const char* name : {"real.psd", "real.pcx", "real.sgi", "real.dds", "real.exr"}) ASSERT_TRUE(converted(name));
  const std::string bmp = readBytes(savedBmp("real.bmp")), exr = readBytes(file("real.exr"));
  const auto real = [](const char* name) { return readBytes(file(name)); };
  // The data window's largest corner, after the attribute's name, type and size.
  const std::size_t window = exr.find("dataWindow") + sizeof "dataWindow" + sizeof "box2i" + 4 + 8;
  const std::string le100000x2("\xA0\x86\x01\0\xA0\x86\x01\0", 8), ffff("\xFF\xFF\xFF\xFF"),
      le8001x2("\x41\x1F\0\0\x41\x1F\0\0", 8), be8001x2("\0\0\x1F\x41\0\0\x1F\x41", 8);
  const std::string page = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj 2 0 obj<</Type/Pages/Kids[3 0 R]"
                           "/Count 1>>endobj 3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 100000 100000]>>endobj\n"
                           "trailer<</Root 1 0 R>>\n%%EOF\n";
  const struct {
    const char* name;
    std::string bytes;
  } bombs[] = {
      {"huge.bmp", withBytesAt(bmp, 18, le100000x2)},                // width, height
      {"huge.tga", withBytesAt(real("real.tga"), 12, ffff)},         // width, height
      {"huge.psd", withBytesAt(real("real.psd"), 14, be8001x2)},          // height, width
      {"huge.pcx", withBytesAt(real("real.pcx"), 8, "\x40\x1F\x40\x1F")},  // last column, row
      {"huge.sgi", withBytesAt(real("real.sgi"), 6, "\x1F\x41\x1F\x41")},  // width, height
      {"huge.dds", withBytesAt(real("real.dds"), 12, le8001x2)},          // height, width
      {"huge.exr", withBytesAt(exr, window, std::string("\xFF\xFF\0\0\xFF\xFF\0\0", 8))},
      {"many.ico", withBytesAt(real("real.ico"), 4, "\x60\xEA")},  // 60000 icons
      {"huge.xpm", "/* XPM */\nstatic char *x[] = {\n\"8001 8001 1 1\",\n\"  c white\",\n\" \"};\n"},
      {"huge.pdf", page},
      {"huge.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="100in" height="100in"/>)"},
  };
  for (const auto& [name, bytes] : bombs) {
    writeBytes(file(name), bytes);
    expectLine(file(name), noImage(file(name)), {}, 150 * 1024);
  }
}

TEST_F(BadInput, PathsThatAreNotImageFiles) {
  const std::string directory = file("folder"), text = file("notes.txt"), empty = file("empty.png"),
                    fifo = file("fifo.png"), loop = file("loop.png"), socketPath = file("sock.png"),
                    missing = file("missing.png"), dangling = file("dangling.png");
  std::filesystem::create_directory(directory);
  writeBytes(text, "just some words\n");
  writeBytes(empty, "");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(loop, loop);
  std::filesystem::create_symlink(missing, dangling);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  std::string tooLong = dir_->path().string();
  while (tooLong.size() <= PATH_MAX) tooLong += "/deeper";
  // Started in a directory the shell removes before handing over.
  std::filesystem::create_directory(file("gone"));
  const Launch inGone{.wrapper = {"/bin/sh", "-c", R"(cd "$0" && rmdir "$0" && exec "$@")", file("gone")}};
  const std::string oddName = file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \xFF.png");
  const std::string oddNameAsReported = file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \uFFFD.png");
  ASSERT_TRUE(saved(hello_, "plain.png"));
  std::filesystem::copy_file(file("plain.png"), oddName);
  const std::string unreadable = "load failed: not readable: ", undecodable = "load failed: CGImageSource failed: ",
                    noImage = "load failed: no image at index 0: ";

  const struct {
    std::string path;
    std::string line;
    Launch launch = {};
  } cases[] = {
      {missing, errorLineFor(unreadable + missing)},
      {dangling, errorLineFor(unreadable + dangling)},
      {loop, errorLineFor(unreadable + loop)},
      {"", errorLineFor(unreadable)},
      {tooLong, errorLineFor(unreadable + tooLong)},
      {"hello.png", errorLineFor(unreadable + "hello.png"), inGone},
      {directory, errorLineFor(undecodable + directory)},
      {fifo, errorLineFor(undecodable + fifo)},
      {"/dev/zero", errorLineFor(undecodable + "/dev/zero")},
      {socketPath, errorLineFor(undecodable + socketPath)},
      {text, errorLineFor(noImage + text)},
      {empty, errorLineFor(noImage + empty)},
      {file("no-such-folder/../notes.txt"), errorLineFor(noImage + file("no-such-folder/../notes.txt"))},
      // Bytes that are not UTF-8 are reported as U+FFFD.
      {missing + "\xFF\xFE", errorLineFor(unreadable + missing + "\uFFFD\uFFFD")},
      {oddName + ".missing", errorLineFor(unreadable + oddNameAsReported + ".missing")},
      {oddName, kHelloWorldLine},
  };
  for (const auto& [path, line, launch] : cases) expectLine(path, line, launch);
  close(listener);
}

TEST_F(BadInput, FileTheCallerMayNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as a throw-away user";
  ASSERT_TRUE(saved(hello_, "private.png"));
  // Others may pass through the directory but not read the file.
  std::filesystem::permissions(dir_->path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  std::filesystem::permissions(file("private.png"), std::filesystem::perms::owner_read);
  expectLine(file("private.png"), errorLineFor("load failed: not readable: " + file("private.png")),
             {.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}});
}

TEST_F(BadInput, OutputThatCannotBeWrittenNeverKillsOrHangs) {
  ASSERT_TRUE(saved(hello_, "output.png"));
  for (const StandardOutput output : {StandardOutput::closed, StandardOutput::devFull, StandardOutput::pipeWithoutReader}) {
    for (const auto& [arguments, status] : {std::pair{std::vector<std::string>{}, 2},
                                            std::pair{std::vector<std::string>{file("output.png")}, 0},
                                            std::pair{std::vector<std::string>{file("missing.png")}, 0}}) {
      SCOPED_TRACE(::testing::Message() << "output " << static_cast<int>(output) << ", " << arguments.size() << " argument(s)");
      Launch launch;
      launch.standardOutput = output;
      const ToolRun run = runTool(arguments, {}, launch);
      EXPECT_EQ(run.terminatingSignal, 0);
      EXPECT_EQ(run.exitStatus, status);
      EXPECT_EQ(run.err, status == 2 ? "usage: tarnwick <image-path>\n" : "");
      EXPECT_LT(run.elapsed, testing::promptly());
    }
  }
}

// libvips loads ImageMagick with its modules, and ImageMagick starts up the
// first time it is asked about a file. A file no trusted loader claims, such
// as a BMP, must not get that far.
TEST_F(BadInput, BlockedLoadersNeverSeeTheBytes) {
  const auto started = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "IsMagickCoreInstantiated"));
  if (started == nullptr) GTEST_SKIP() << "this libvips has no ImageMagick module";
  if (started() != 0) GTEST_SKIP() << "ImageMagick was started earlier in this process";
  initialiseVips("tarnwick_tests");
  VipsImageDecoding decoding;
  EXPECT_EQ(decoding.makeImageObject(savedBmp("unclaimed.bmp")), nullptr);
  EXPECT_EQ(started(), 0);
}

TEST(RunDeadline, EndsAStuckRunWithItsLineAndLetsAFinishedOneGo) {
  const testing::TempDir dir;
  const std::string path = dir.file("out");
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "w"), std::fclose);
  EXPECT_EXIT(
      {
        const RunDeadline deadline(std::chrono::milliseconds(50), "late\n", out.get());
        std::this_thread::sleep_for(std::chrono::seconds(2));
      },
      ::testing::ExitedWithCode(0), "");
  const auto start = std::chrono::steady_clock::now();
  { const RunDeadline deadline(std::chrono::minutes(1), "never\n", out.get()); }
  EXPECT_LT(std::chrono::steady_clock::now() - start, testing::promptly());
  std::fflush(out.get());
  EXPECT_EQ(readBytes(path), "late\n");
}

}  // namespace
}  // namespace tarnwick
