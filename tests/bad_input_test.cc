// Whatever lands at the path, the run ends at once with its one line, status
// 0 and nothing on stderr: files that are not images, headers claiming no
// pixels or far too many, paths to things that are not files, and a file the
// caller may not read. Damaged files of the formats libvips and Leptonica
// read are the fuzzers'; those of the formats a decoder child reads, cut
// short or with a flipped bit, are rows here too.
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <fstream>

#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::errorLineFor;

// Not a line but any record past the intake: anything but a load failure.
const std::string kPastIntake = "any record but a load failure";

std::string withBytesAt(std::string bytes, std::size_t at, const std::string& patch) {
  return bytes.replace(at, patch.size(), patch);
}

// `maxPeakRssKiB`, when given, bounds the run's memory, its decoder child's
// included.
void expectRun(const std::vector<std::string>& arguments, const std::string& line, const testing::Launch& launch = {},
               long maxPeakRssKiB = 0) {
  const testing::ToolRun run = testing::runTool(arguments, launch);
  const std::string shown = arguments.back().substr(0, 100);
  if (line == kPastIntake) {
    EXPECT_EQ(std::tuple(run.writes, run.err, run.exitStatus, run.terminatingSignal), std::tuple(1, "", 0, 0)) << shown;
    EXPECT_NE(run.out.rfind(R"({"confidence_notes":["load failed: )", 0), 0U) << shown << ": " << run.out;
  } else {
    EXPECT_EQ(std::tuple(run.out, run.writes, run.err, run.exitStatus, run.terminatingSignal),
              std::tuple(line, 1, "", 0, 0))
        << shown;
  }
  if (maxPeakRssKiB > 0) {
    EXPECT_LT(run.peakRssKiB, maxPeakRssKiB) << shown;
  }
  testing::parseReportLine(run.out);
}

// libvips writes no BMP; Leptonica does.
bool leptonicaBmp(const std::string& path) {
  if (!testing::saved(testing::hello(), path + ".png")) return false;
  PIX* pix = pixRead((path + ".png").c_str());
  const bool written = pix != nullptr && pixWrite(path.c_str(), pix, IFF_BMP) == 0;
  pixDestroy(&pix);
  return written;
}

bool svgWritten(const std::string& path) {
  std::ofstream(path) << R"(<svg xmlns="http://www.w3.org/2000/svg" width="120" height="40">)"
                      << R"(<rect width="120" height="40" fill="white"/><text x="10" y="25" )"
                      << R"(font-family="DejaVu Sans" font-size="13">Hello world</text></svg>)";
  return true;
}

TEST(BadInput, EveryPathEndsAtOnceInItsOneLine) {
  const testing::TempDir dir;
  const auto file = [&](const std::string& name) { return dir.file(name); };
  // Height then width in a baseline JPEG's frame header.
  ASSERT_TRUE(testing::saved(testing::hello(), file("real.jpg")));
  const std::string jpeg = testing::readBytes(file("real.jpg"));
  const std::size_t frame = jpeg.find("\xFF\xC0") + 5;
  std::vector<std::pair<std::string, std::string>> files = {
      {"zero.jpg", withBytesAt(jpeg, frame, std::string(4, '\0'))},
      {"huge.jpg", withBytesAt(jpeg, frame, std::string("\xFF\0\xFF\0", 4))},
      {"huge.pgm", "P5\n60000 60000\n255\n" + std::string(99, 'x')},
      {"huge.pbm", "P4\n8001 8001\n" + std::string(1001 * 8001, '\0')},  // whole, and just past the limit
      {"notes.txt", "just some words\n"},
      {"empty.png", ""}};

  // Headers of the formats decoder children read, each claiming more pixels
  // (or icons) than any route takes: refused before the pixels exist, so the
  // run, its child included, stays small. ImageMagick's readers are handed
  // 8001 x 8001, which it would allocate and fill unless told its limits.
  ASSERT_TRUE(leptonicaBmp(file("real.bmp")) && testing::pillowSaved(file("real.tga")) &&
              testing::converted(file("real.ico"), {"-resize", "32x32"}));
  for (const char* name : {"real.psd", "real.pcx", "real.sgi", "real.dds", "real.exr"})
    ASSERT_TRUE(testing::converted(file(name)));
  const auto real = [&](const char* name) { return testing::readBytes(file(name)); };
  const std::string exr = real("real.exr");
  // The data window's largest corner, after the attribute's name, type and size.
  const std::size_t window = exr.find("dataWindow") + sizeof "dataWindow" + sizeof "box2i" + 4 + 8;
  const std::string le100000x2("\xA0\x86\x01\0\xA0\x86\x01\0", 8), ffff("\xFF\xFF\xFF\xFF"),
      le8001x2("\x41\x1F\0\0\x41\x1F\0\0", 8), be8001x2("\0\0\x1F\x41\0\0\x1F\x41", 8);
  const std::string page = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj 2 0 obj<</Type/Pages/Kids[3 0 R]"
                           "/Count 1>>endobj 3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 100000 100000]>>endobj\n"
                           "trailer<</Root 1 0 R>>\n%%EOF\n";
  const std::vector<std::pair<std::string, std::string>> bombs = {
      {"huge.bmp", withBytesAt(real("real.bmp"), 18, le100000x2)},        // width, height
      {"huge.tga", withBytesAt(real("real.tga"), 12, ffff)},              // width, height
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
  files.insert(files.end(), bombs.begin(), bombs.end());

  // Each format a decoder child reads, written by Leptonica, ImageMagick or
  // Pillow, cut after 16 bytes, a third, two thirds and all but the last 8
  // bytes, then with one bit flipped a third and two thirds of the way in;
  // and what each of those damaged copies reads as.
  enum Outcome { refused, read, partial };
  using testing::converted, testing::pillowSaved;
  const struct {
    const char* name;
    std::array<Outcome, 6> outcomes;
    std::function<bool(const std::string&)> encode;
  } formats[] = {
      {"bmp", {refused, refused, refused, refused, read, read}, leptonicaBmp},
      {"rle8.bmp", {refused, refused, refused, refused, partial, read},
       [](auto& path) { return converted(path, {"-type", "palette", "-compress", "RLE"}, "bmp3:"); }},
      {"tga", {refused, refused, refused, read, read, partial},
       [](auto& path) { return pillowSaved(path, "compression='tga_rle'"); }},
      {"ico", {refused, refused, refused, partial, refused, refused},
       [](auto& path) { return converted(path, {"-define", "icon:auto-resize=256,16"}); }},
      {"psd", {refused, read, read, read, read, read}, [](auto& path) { return converted(path); }},
      {"dds", {refused, refused, refused, refused, read, read}, [](auto& path) { return converted(path); }},
      {"pcx", {refused, refused, refused, refused, read, partial}, [](auto& path) { return converted(path); }},
      {"sgi", {refused, partial, partial, read, refused, partial}, [](auto& path) { return converted(path); }},
      {"xpm", {refused, refused, refused, refused, read, read}, [](auto& path) { return converted(path); }},
      {"exr", {refused, refused, refused, refused, read, read}, [](auto& path) { return converted(path); }},
      {"pdf", {refused, refused, refused, read, read, read},
       [](auto& path) { return pillowSaved(path, "resolution=300"); }},
      {"svg", {refused, refused, refused, refused, read, read}, svgWritten},
  };
  std::vector<std::pair<std::string, Outcome>> damaged;
  for (const auto& [format, outcomes, encode] : formats) {
    ASSERT_TRUE(encode(file(std::string("whole.") + format))) << format;
    const std::string whole = testing::readBytes(file(std::string("whole.") + format));
    const std::size_t size = whole.size(), cuts[] = {16, size / 3, size * 2 / 3, size - 8};
    for (std::size_t i = 0; i < 6; ++i) {
      std::string bytes = i < 4 ? whole.substr(0, cuts[i]) : whole;
      if (i >= 4) bytes[cuts[i - 3]] ^= 0x10;
      const std::string name = (i < 4 ? "cut" + std::to_string(cuts[i]) + "." : "flipped" + std::to_string(i - 3) + ".") +
                               format;
      files.emplace_back(name, bytes);
      damaged.emplace_back(name, outcomes[i]);
    }
  }
  for (const auto& [name, bytes] : files) testing::writeBytes(file(name), bytes);
  std::filesystem::create_directory(file("folder"));
  ASSERT_EQ(mkfifo(file("fifo.png").c_str(), 0600), 0);
  std::filesystem::create_symlink(file("loop.png"), file("loop.png"));
  const std::string odd = file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \xFF");
  std::string tooLong = dir.path();
  while (tooLong.size() <= PATH_MAX) tooLong += "/deeper";
  const std::string unreadable = "load failed: not readable: ", noSource = "load failed: CGImageSource failed: ",
                    noImage = "load failed: no image at index 0: ", tooMany = "CVPixelBufferCreate failed status=-6662";
  std::vector<std::pair<std::string, std::string>> cases = {
      {file("zero.jpg"), errorLineFor(noImage + file("zero.jpg"))},
      {file("huge.jpg"), errorLineFor("load failed: " + tooMany)},
      {file("huge.pgm"), errorLineFor(noImage + file("huge.pgm"))},
      {file("huge.pbm"), errorLineFor(noImage + file("huge.pbm"))},
      {file("notes.txt"), errorLineFor(noImage + file("notes.txt"))},
      {file("empty.png"), errorLineFor(noImage + file("empty.png"))},
      {file("no-such-folder/../notes.txt"), errorLineFor(noImage + file("no-such-folder/../notes.txt"))},
      {file("folder"), errorLineFor(noSource + file("folder"))},
      {file("fifo.png"), errorLineFor(noSource + file("fifo.png"))},
      {"/dev/zero", errorLineFor(noSource + "/dev/zero")},
      {file("missing.png"), errorLineFor(unreadable + file("missing.png"))},
      {file("loop.png"), errorLineFor(unreadable + file("loop.png"))},
      {tooLong, errorLineFor(unreadable + tooLong)},
      // Bytes of the path that are not UTF-8 are reported as U+FFFD.
      {odd + ".png", errorLineFor(unreadable + file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \uFFFD.png"))},
  };
  for (const auto& [name, outcome] : damaged)
    cases.emplace_back(file(name), outcome == refused ? errorLineFor(noImage + file(name))
                                   : outcome == read  ? testing::kHelloWorldLine
                                                      : kPastIntake);
  for (const auto& [path, line] : cases) expectRun({path}, line);
  // A bomb is refused before its pixels exist, in the tool and in its child.
  for (const auto& [name, bytes] : bombs) expectRun({file(name)}, errorLineFor(noImage + file(name)), {}, 150 * 1024);
}

// setpriv starts the tool with root's capabilities still in effect, so it
// runs even from a directory the user may not search; it then reads only
// what that user may, so it comes with its module into one the user may pass.
TEST(BadInput, FileTheCallerMayNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as the throw-away user 65534";
  const testing::TempDir dir;
  for (auto parent = dir.path().parent_path(); parent != parent.root_path(); parent = parent.parent_path())
    if ((status(parent).permissions() & std::filesystem::perms::others_exec) == std::filesystem::perms::none)
      GTEST_SKIP() << "user 65534 may not reach " << parent;
  permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  for (const char* shipped : {"tarnwick", "tarnwick-imaging.so"})
    copy_file(std::filesystem::path(TARNWICK_BINARY).parent_path() / shipped, dir.file(shipped));
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("private.png")));
  permissions(dir.file("private.png"), std::filesystem::perms::owner_read);
  expectRun({"--reuid=65534", "--regid=65534", "--clear-groups", dir.file("tarnwick"), dir.file("private.png")},
            errorLineFor("load failed: not readable: " + dir.file("private.png")), {.tool = "/usr/bin/setpriv"});
}

}  // namespace
}  // namespace tarnwick
