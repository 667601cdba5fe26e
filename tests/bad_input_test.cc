// Whatever lands at the path, the run ends at once with its one line, status
// 0 and nothing on stderr: files that are not images, headers claiming no
// pixels or far too many, paths to things that are not files, and a file the
// caller may not read. Each format a decoder child reads is written by a real
// encoder and read back as its text, then cut short, given a flipped bit and
// made to claim too many pixels. Damaged files of the formats libvips and
// Leptonica read are the fuzzers'. Last, the decoder children's limits and
// the parent's distrust of what they hand back, seen through a child that
// misbehaves on purpose.

#include <climits>
#include <iterator>
#include <regex>
#include <sstream>

#include "isolation/isolated_decoding.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::errorLineFor, testing::kHelloWorldLine;

std::string noImageLine(const std::string& path) { return errorLineFor("load failed: no image at index 0: " + path); }
// Not a line but any record past the intake: anything but a load failure.
const std::string kPastIntake = "any record but a load failure";

void expectRun(const std::vector<std::string>& arguments, const std::string& line, const testing::Launch& launch = {}) {
  const testing::ToolRun run = testing::runTool(arguments, launch);
  const bool pastIntake = line == kPastIntake && !run.out.starts_with(R"({"confidence_notes":["load failed: )");
  EXPECT_EQ(std::tuple(pastIntake ? line : run.out, run.writes, run.err, run.exitStatus), std::tuple(line, 1, "", 0))
      << arguments.back().substr(0, 100);
  // Nothing it refuses is decoded first, in the tool or in a decoder child:
  // it takes little more memory than a run on no file at all.
  static const long idleKiB = testing::runTool({"/no/such/file"}).peakRssKiB;
  EXPECT_TRUE(line == kHelloWorldLine || line == kPastIntake || run.peakRssKiB < idleKiB + 64 * 1024)
      << arguments.back().substr(0, 100) << ": " << run.peakRssKiB << " KiB, " << idleKiB << " KiB on no file";
  testing::parseReportLine(run.out);
}

const std::string kHelloSvg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="120" height="40"><text x="10" y="25" )"
                              R"(font-family="DejaVu Sans" font-size="13">Hello world</text></svg>)";

// hello() written to `path` by "convert ARGUMENTS PREFIX:", ImageMagick
// reading it as a PNG with the arguments before its output (named by the
// prefix and the path); by "pillow OPTIONS", Pillow's Image.save from RGB
// with the options as keyword arguments; or drawn by "svg".
bool encoded(const std::string& path, const std::string& encoder) {
  if (encoder == "svg") return testing::writeBytes(path, kHelloSvg), true;
  const std::string source = path + ".png";
  EXPECT_TRUE(testing::saved(testing::hello(), source));
  std::istringstream words(encoder);
  std::vector<std::string> arguments(std::istream_iterator<std::string>(words), {});
  const bool pillow = arguments[0] == "pillow";
  arguments[0] = source;
  arguments.back() += path;
  if (pillow)
    arguments = {"-c", "import sys\nfrom PIL import Image\nImage.open(sys.argv[1]).convert('RGB').save(sys.argv[2], " +
                           encoder.substr(6) + ")",
                 source, path};
  const testing::ToolRun run = testing::runTool(arguments, {.tool = pillow ? "/usr/bin/python3" : "/usr/bin/convert"});
  EXPECT_EQ(run.exitStatus, 0) << encoder << ": " << run.err;
  return run.exitStatus == 0;
}

// A format as its encoder writes it. `damaged` says how its copies read when
// cut after 16 bytes, a third, two thirds, nine tenths and all but the last 8
// bytes, then with one bit flipped a third and two thirds of the way in: R
// refused at the intake, T as the whole file's text, O as any other record.
// `bomb` is bytes claiming far more pixels (or icons) than any route takes,
// written `at` bytes past the first `after` in the file.
struct Format {
  std::string name, encoder, damaged = "", after = "";
  std::size_t at = 0;
  std::string bomb = "";
};

// The bombs' sizes: BMP, Targa and SGI width then height, PSD and DDS height
// then width, PCX its last column and row, OpenEXR its data window's largest
// corner; the icon file claims 60000 icons.
const Format kFormats[] = {
    // BMP as ImageMagick writes it by default (V5 header, palette), and as
    // the child takes it apart: rows filled out of order, with alpha, and red
    // words on black, which only their red tells from the ground. The other
    // headers and depths gdk-pixbuf reads are its own affair.
    {"v5-palette.bmp", "convert bmp:", "RRRRRTT", "", 18, std::string("\xA0\x86\x01\0\xA0\x86\x01\0", 8)},
    {"v3-rle8.bmp", "convert -type palette -compress RLE bmp3:", "RRRRROT"},
    {"bitfields32.bmp", "convert -alpha set bmp:"},
    {"red-on-black.bmp", "convert -negate -channel GB -evaluate set 0 +channel bmp:"},
    // ImageMagick 6 writes Targa rows upside down; Pillow does not.
    {"plain.tga", "pillow", "", "", 12, "\xFF\xFF\xFF\xFF"},
    {"rle.tga", "pillow compression='tga_rle'", "RRRRTTO"},
    // The largest image of an icon holds the words; its small one is too small to.
    {"icon.ico", "convert -define icon:auto-resize=256,16 ico:", "RRRRTRR", "", 4, "\x60\xEA"},
    // ImageMagick 6 writes a broken cursor of many sizes; a cursor file is
    // an icon file of type 2, whose hot spots sit where an icon's planes
    // and depth do.
    {"cursor.cur", "convert -define icon:auto-resize=256,16 ico:"},
    // A layer of red over the words: only the composite shows them.
    {"layered.psd", "convert ( -size 9x4 xc:red ) psd:", "ROOOOTO", "", 14, std::string("\0\0\x1F\x41\0\0\x1F\x41", 8)},
    {"texture.dds", "convert dds:", "RRRRRTT", "", 12, std::string("\x41\x1F\0\0\x41\x1F\0\0", 8)},
    {"brush.pcx", "convert pcx:", "RRRRRTO", "", 8, "\x40\x1F\x40\x1F"},
    {"irix.sgi", "convert sgi:", "ROOOTRT", "", 6, "\x1F\x41\x1F\x41"},
    {"pixmap.xpm", "convert xpm:", "RRRRRTT"},
    {"half.exr", "convert -compress piz exr:", "RRRRRTO", "dataWindow", 29, std::string("\xFF\xFF\0\0\xFF\xFF\0\0", 8)},
    {"page.pdf", "pillow resolution=300", "RRRRTOT"},
    {"drawing.svg", "svg", "RRRRROT"},
};

void PrintTo(const Format& format, std::ostream* out) { *out << format.name; }
class DecoderChildFormat : public ::testing::TestWithParam<Format> {};

TEST_P(DecoderChildFormat, ReadsBackWholeAndEndsAtOnceDamagedOrClaimingTooManyPixels) {
  const Format& format = GetParam();
  const testing::TempDir dir;
  const std::string path = dir.file(format.name);
  ASSERT_TRUE(encoded(path, format.encoder));
  std::string whole = testing::readBytes(path);
  if (format.name.ends_with(".cur")) whole[2] = 2, testing::writeBytes(path, whole);  // an icon file's type
  expectRun({path}, kHelloWorldLine);
  const std::size_t size = whole.size(), cuts[] = {16, size / 3, size * 2 / 3, size * 9 / 10, size - 8};
  for (std::size_t i = 0; i < format.damaged.size(); ++i) {
    std::string bytes = i < 5 ? whole.substr(0, cuts[i]) : whole;
    if (i >= 5) bytes[cuts[i - 4]] ^= 0x10;
    const std::string copy = dir.file((i < 5 ? "cut" : "flipped") + std::to_string(i) + "-" + format.name);
    testing::writeBytes(copy, bytes);
    const char outcome = format.damaged[i];  // R, T or O
    expectRun({copy}, outcome == 'T' ? kHelloWorldLine : outcome == 'O' ? kPastIntake : noImageLine(copy));
  }
  if (format.bomb.empty()) return;
  const std::string bomb = dir.file("bomb-" + format.name);
  testing::writeBytes(bomb, whole.replace(whole.find(format.after) + format.at, format.bomb.size(), format.bomb));
  expectRun({bomb}, noImageLine(bomb));
}

INSTANTIATE_TEST_SUITE_P(Each, DecoderChildFormat, ::testing::ValuesIn(kFormats), [](const auto& info) {
  return std::regex_replace(info.param.name, std::regex("[^A-Za-z0-9]"), "_");
});

TEST(BadInput, EveryPathEndsAtOnceInItsOneLine) {
  const testing::TempDir dir;
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("real.jpg")));
  const std::string jpeg = testing::readBytes(dir.file("real.jpg"));
  const std::size_t frame = jpeg.find("\xFF\xC0") + 5;  // height, then width, in a baseline JPEG's frame header
  testing::writeBytes(dir.file("huge.jpg"), std::string(jpeg).replace(frame, 4, std::string("\xFF\0\xFF\0", 4)));
  const std::string page = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj 2 0 obj<</Type/Pages/Kids[3 0 R]"
                           "/Count 1>>endobj 3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 100000 100000]>>endobj\n"
                           "trailer<</Root 1 0 R>>\n%%EOF\n";
  // Files no route reads: claiming no pixels or far too many (whole, and just
  // past the limit; the documents are of formats a decoder child reads), and
  // files that are not images. The thin pages, one pixel wide, are read.
  const std::pair<std::string, std::string> files[] = {
      {"zero.jpg", std::string(jpeg).replace(frame, 4, std::string(4, '\0'))},
      {"huge.pgm", "P5\n60000 60000\n255\n" + std::string(99, 'x')},
      {"huge.pbm", "P4\n8001 8001\n" + std::string(1001 * 8001, '\0')},
      {"huge.xpm", "/* XPM */\nstatic char *x[] = {\n\"8001 8001 1 1\",\n\"  c white\",\n\" \"};\n"},
      {"huge.pdf", page}, {"thin.pdf", std::regex_replace(page, std::regex("100000 100000"), "0.2 100")},
      {"huge.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="100in" height="100in"/>)"},
      {"thin.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="0.3" height="40"/>)"},
      {"notes.txt", "just some words\n"}, {"empty.png", ""}};
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_EQ(mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir.file("loop.png"), dir.file("loop.png"));
  const std::string odd = dir.file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \xFF");
  std::string tooLong = dir.path();
  while (tooLong.size() <= PATH_MAX) tooLong += "/deeper";
  const std::string unreadable = "load failed: not readable: ", noSource = "load failed: CGImageSource failed: ";
  std::vector<std::pair<std::string, std::string>> cases = {
      {dir.file("huge.jpg"), errorLineFor("load failed: CVPixelBufferCreate failed status=-6662")},
      {dir.file("no-such-folder/../notes.txt"), noImageLine(dir.file("no-such-folder/../notes.txt"))},
      {dir.file("folder"), errorLineFor(noSource + dir.file("folder"))},
      {dir.file("fifo.png"), errorLineFor(noSource + dir.file("fifo.png"))},
      {"/dev/zero", errorLineFor(noSource + "/dev/zero")},
      {dir.file("missing.png"), errorLineFor(unreadable + dir.file("missing.png"))},
      {dir.file("loop.png"), errorLineFor(unreadable + dir.file("loop.png"))},
      {tooLong, errorLineFor(unreadable + tooLong)},
      // Bytes of the path that are not UTF-8 are reported as U+FFFD.
      {odd + ".png", errorLineFor(unreadable + dir.file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \uFFFD.png"))}};
  for (const auto& [name, bytes] : files)
    testing::writeBytes(dir.file(name), bytes),
        cases.emplace_back(dir.file(name), name.starts_with("thin") ? kPastIntake : noImageLine(dir.file(name)));
  for (const auto& [path, line] : cases) expectRun({path}, line);
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
  for (const char* shipped : {"tarnwick", "tarnwick-reader", "tarnwick-imaging.so"})
    copy_file(std::filesystem::path(TARNWICK_BINARY).parent_path() / shipped, dir.file(shipped));
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("private.png")));
  permissions(dir.file("private.png"), std::filesystem::perms::owner_read);
  expectRun({"--reuid=65534", "--regid=65534", "--clear-groups", dir.file("tarnwick"), dir.file("private.png")},
            errorLineFor("load failed: not readable: " + dir.file("private.png")), {.tool = "/usr/bin/setpriv"});
}

TEST(Isolation, AChildIsConfinedToReadingAndOnlyOneWholeImageWithinTheLimitIsTakenBack) {
  const testing::TempDir dir;
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("input.png")));
  testing::writeBytes(dir.file("keep"), "kept");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  using Samples = std::optional<Bytes>;
  // The child ("" for the probe), what it is to do or read, and the file it
  // is given; the samples taken back. An escaping probe's one sample has a
  // bit for each escape that worked: wrote a file, opened a socket, forked,
  // signalled its parent, removed a file, took 3 GiB of address space. A
  // real child reads only its own formats, though its library reads more.
  const std::tuple<std::string, std::string, std::string, Samples> cases[] = {
      {"", "escape:" + dir.path().string(), "input.png", Bytes{0}}, {"", "pixels", "input.png", Bytes{0, 255}},
      {"", "pixels", "fifo", std::nullopt},  // only regular files are read
      {"", "crash", "input.png", std::nullopt}, {"", "lie", "input.png", std::nullopt},
      {"", "trail", "input.png", std::nullopt}, {"magick", "PNG", "input.png", std::nullopt},
      {"pixbuf", "png", "input.png", std::nullopt}};
  for (const auto& [child, act, input, samples] : cases) {
    const std::string decoder = "tarnwick-decode-" + (child.empty() ? "probe" : child);
    const int file = open(dir.file(input).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const std::optional<Image> image = decodeInChild({decoder.c_str(), act.c_str()}, file);
    close(file);
    const auto* pixels = image ? static_cast<const std::uint8_t*>(VIPS_IMAGE_ADDR(image->vips(), 0, 0)) : nullptr;
    EXPECT_EQ(image ? Samples(Bytes(pixels, pixels + VIPS_IMAGE_SIZEOF_IMAGE(image->vips()))) : std::nullopt, samples)
        << decoder << " " << act;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("written")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("keep")));
}

}  // namespace
}  // namespace tarnwick
