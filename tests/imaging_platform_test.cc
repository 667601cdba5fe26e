#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <type_traits>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <vips/vips.h>

#include "platform/vips_graphics.h"
#include "platform/vips_image_decoding.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::TempDir;
using testing::VipsImagePtr;
using Bgra = std::array<int, 4>;

constexpr int kWidth = 64, kHeight = 32;
constexpr std::size_t kRowPadding = 12;
constexpr std::uint8_t kPaddingSentinel = 0xA5;

class ImagingPlatformTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VIPS_INIT("imaging_platform_test");
    vips_block_untrusted_set(TRUE);  // as every run does
    setMsgSeverity(L_SEVERITY_NONE);
  }
  TempDir dir;
  VipsImageDecoding decoding;
  VipsGraphics graphics;
};

struct PixDestroy {
  void operator()(PIX* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<PIX, PixDestroy>;

// kWidth x kHeight, the left half one pixel value and the right half another.
template <typename Sample>
VipsImagePtr halves(const std::vector<Sample>& left, const std::vector<Sample>& right, VipsInterpretation type) {
  std::vector<Sample> samples;
  for (int i = 0; i < kWidth * kHeight; ++i) {
    const auto& pixel = i % kWidth < kWidth / 2 ? left : right;
    samples.insert(samples.end(), pixel.begin(), pixel.end());
  }
  const VipsBandFormat format = std::is_same_v<Sample, float>           ? VIPS_FORMAT_FLOAT
                                : std::is_same_v<Sample, std::uint16_t> ? VIPS_FORMAT_USHORT
                                                                        : VIPS_FORMAT_UCHAR;
  VipsImage* image = vips_image_new_from_memory_copy(samples.data(), samples.size() * sizeof(Sample), kWidth, kHeight,
                                                     int(left.size()), format);
  image->Type = type;
  return VipsImagePtr(image);
}

VipsImagePtr redBlue() { return halves<std::uint8_t>({200, 40, 40}, {40, 40, 200}, VIPS_INTERPRETATION_sRGB); }
const Bgra kRed{40, 40, 200, 255}, kBlue{200, 40, 40, 255};

std::string saved(VipsImage* image, const std::string& path, const std::string& options = "") {
  testing::saveImage(image, path + options);
  return path;
}

std::string written(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string writtenByLeptonica(PIX* pix, const std::string& path, int format) {
  EXPECT_EQ(pixWrite(path.c_str(), pix, format), 0);
  return path;
}

// Drawn the way pixel buffers are prepared, into rows with padding that must
// stay untouched.
struct Canvas {
  int width = 0, height = 0;
  std::vector<std::uint8_t> memory;
  Bgra at(int x, int y) const {
    const std::uint8_t* p = &memory[std::size_t(y) * (width * 4 + kRowPadding) + std::size_t(x) * 4];
    return {p[0], p[1], p[2], p[3]};
  }
};

Canvas render(Graphics& graphics, const Image& image) {
  Canvas canvas{int(graphics.imageWidth(image)), int(graphics.imageHeight(image)), {}};
  const std::size_t bytesPerRow = canvas.width * 4 + kRowPadding;
  canvas.memory.assign(bytesPerRow * canvas.height, kPaddingSentinel);
  auto context = graphics.createBitmapContext(canvas.memory.data(), canvas.width, canvas.height, 8, bytesPerRow,
                                              kBitmapInfoPremultipliedFirst32Little);
  if (!context) {
    ADD_FAILURE() << "no bitmap context";
    return canvas;
  }
  context->setInterpolationQuality(InterpolationQuality::high);
  context->setFillColor({1, 1, 1, 1});
  context->fillRect({0, 0, double(canvas.width), double(canvas.height)});
  context->drawImage(image, {0, 0, double(canvas.width), double(canvas.height)});
  std::size_t paddingWritten = 0;
  for (int y = 0; y < canvas.height; ++y)
    for (std::size_t i = canvas.width * 4; i < bytesPerRow; ++i)
      paddingWritten += canvas.memory[y * bytesPerRow + i] != kPaddingSentinel;
  EXPECT_EQ(paddingWritten, 0u) << "row padding written";
  return canvas;
}

void expectNear(const Bgra& actual, const Bgra& expected, int tolerance, const std::string& where) {
  for (int i = 0; i < 4; ++i)
    EXPECT_NEAR(actual[i], expected[i], tolerance) << where << " channel " << "BGRA"[i];
}

void expectHalves(Graphics& graphics, const std::optional<Image>& image, const Bgra& left, const Bgra& right,
                  int tolerance, const std::string& what) {
  ASSERT_TRUE(image) << what << ": nothing decoded";
  const Canvas canvas = render(graphics, *image);
  ASSERT_EQ(canvas.width, kWidth) << what;
  ASSERT_EQ(canvas.height, kHeight) << what;
  expectNear(canvas.at(kWidth / 4, kHeight / 2), left, tolerance, what + " left");
  expectNear(canvas.at(3 * kWidth / 4, kHeight / 2), right, tolerance, what + " right");
}

std::optional<Image> fromImageObject(ImageDecoding& decoding, const std::string& path) {
  auto object = decoding.makeImageObject(path);
  if (!object) return std::nullopt;
  Rect rect{0, 0, object->size().width, object->size().height};
  return object->imageForProposedRect(rect);
}

std::optional<Image> fromImageSource(ImageDecoding& decoding, const std::string& path) {
  auto source = decoding.makeImageSource(path);
  return source ? source->imageAtIndex(0) : std::nullopt;
}

struct FormatCase {
  const char* name;
  std::function<std::string(const TempDir&)> write;
  bool libvipsReads, leptonicaReads;
  int tolerance;
};

std::function<std::string(const TempDir&)> savedByVips(const char* file, const char* options = "") {
  return [=](const TempDir& d) { return saved(redBlue().get(), d.file(file), options); };
}

// Every decoder that reads the format gives the same red and blue halves:
// the image object, its TIFF data, and the image source.
void expectDecodersAgree(ImageDecoding& decoding, Graphics& graphics, const TempDir& dir, const FormatCase& c) {
  const std::string path = c.write(dir);
  auto object = decoding.makeImageObject(path);
  ASSERT_EQ(bool(object), c.libvipsReads) << c.name;
  if (object) {
    Rect rect{0, 0, kWidth, kHeight};
    expectHalves(graphics, object->imageForProposedRect(rect), kRed, kBlue, c.tolerance, c.name);
    const std::optional<Bytes> tiff = object->tiffRepresentation();
    ASSERT_TRUE(tiff) << c.name;
    expectHalves(graphics, decoding.bitmapImageFromTIFFData(*tiff), kRed, kBlue, c.tolerance,
                 std::string(c.name) + " via tiff data");
  }
  if (c.leptonicaReads) expectHalves(graphics, fromImageSource(decoding, path), kRed, kBlue, c.tolerance, c.name);
}

TEST_F(ImagingPlatformTest, EachFormatDecodesThroughItsDecodersAndDrawsItsPixels) {
  const FormatCase cases[] = {
      {"png", savedByVips("a.png"), true, true, 0},
      {"jpeg", savedByVips("a.jpg", "[Q=95]"), true, true, 8},
      {"tiff", savedByVips("a.tif"), true, true, 0},
      {"gif", savedByVips("a.gif"), true, true, 2},
      {"webp", savedByVips("a.webp", "[lossless]"), true, true, 0},
      {"bmp, which libvips leaves to untrusted loaders",
       [](const TempDir& d) {
         const PixPtr pix(pixRead(saved(redBlue().get(), d.file("a.png")).c_str()));
         return writtenByLeptonica(pix.get(), d.file("a.bmp"), IFF_BMP);
       },
       false, true, 0},
  };
  for (const FormatCase& c : cases) expectDecodersAgree(decoding, graphics, dir, c);
}

TEST_F(ImagingPlatformTest, HeifFormatsDecodeThroughLibvips) {
  for (const char* suffix : {".avif", ".heic"})
    if (vips_foreign_find_save(suffix) == nullptr) GTEST_SKIP() << "this libvips cannot write " << suffix;
  for (const FormatCase& c : {FormatCase{"avif", savedByVips("a.avif", "[lossless]"), true, false, 12},
                              FormatCase{"heic", savedByVips("a.heic", "[lossless]"), true, false, 12}})
    expectDecodersAgree(decoding, graphics, dir, c);
}

TEST_F(ImagingPlatformTest, ColourEncodingsDrawAsSRGB) {
  // Colours inside the CMYK gamut, so they come back as they went in.
  const auto cmykJpeg = [](bool keepProfile) {
    return [=](const TempDir& d) {
      VipsImage* cmyk = nullptr;
      EXPECT_EQ(vips_colourspace(halves<std::uint8_t>({180, 110, 90}, {90, 120, 150}, VIPS_INTERPRETATION_sRGB).get(),
                                 &cmyk, VIPS_INTERPRETATION_CMYK, nullptr),
                0);
      VipsImagePtr owner(cmyk);
      if (!keepProfile) vips_image_remove(cmyk, VIPS_META_ICC_NAME);
      return saved(cmyk, d.file("cmyk.jpg"), "[Q=98]");
    };
  };
  const Bgra kMutedRed{90, 110, 180, 255}, kMutedBlue{150, 120, 90, 255};
  struct Case {
    const char* name;
    std::function<std::string(const TempDir&)> write;
    Bgra left, right;
    int tolerance;
  };
  const Case cases[] = {
      {"grey png",
       [](const TempDir& d) {
         return saved(halves<std::uint8_t>({100}, {200}, VIPS_INTERPRETATION_B_W).get(), d.file("g.png"));
       },
       {100, 100, 100, 255}, {200, 200, 200, 255}, 0},
      {"grey+alpha png: black, then transparent over white",
       [](const TempDir& d) {
         return saved(halves<std::uint8_t>({0, 255}, {0, 0}, VIPS_INTERPRETATION_B_W).get(), d.file("ga.png"));
       },
       {0, 0, 0, 255}, {255, 255, 255, 255}, 0},
      {"half-transparent red over white, opaque blue",
       [](const TempDir& d) {
         return saved(halves<std::uint8_t>({255, 0, 0, 128}, {0, 0, 255, 255}, VIPS_INTERPRETATION_sRGB).get(),
                      d.file("rgba.png"));
       },
       {127, 127, 255, 255}, {255, 0, 0, 255}, 1},
      {"16-bit rgb png",
       [](const TempDir& d) {
         return saved(halves<std::uint16_t>({65535, 32896, 0}, {0, 0, 65535}, VIPS_INTERPRETATION_RGB16).get(),
                      d.file("rgb16.png"));
       },
       {0, 128, 255, 255}, {255, 0, 0, 255}, 1},
      {"16-bit grey png",
       [](const TempDir& d) {
         return saved(halves<std::uint16_t>({32896}, {65535}, VIPS_INTERPRETATION_GREY16).get(), d.file("g16.png"));
       },
       {128, 128, 128, 255}, {255, 255, 255, 255}, 1},
      {"float scRGB tiff",
       [](const TempDir& d) {
         return saved(halves<float>({1.0f, 0.2159f, 0.0f}, {0.0f, 0.0f, 0.0f}, VIPS_INTERPRETATION_scRGB).get(),
                      d.file("float.tif"));
       },
       {0, 128, 255, 255}, {0, 0, 0, 255}, 1},
      {"palette png",
       [](const TempDir& d) {
         const PixPtr pix(pixCreate(kWidth, kHeight, 8));
         PIXCMAP* colormap = pixcmapCreate(8);
         pixcmapAddColor(colormap, 200, 40, 40);
         pixcmapAddColor(colormap, 40, 40, 200);
         pixSetColormap(pix.get(), colormap);
         BOX* right = boxCreate(kWidth / 2, 0, kWidth / 2, kHeight);
         pixSetInRectArbitrary(pix.get(), right, 1);
         boxDestroy(&right);
         return writtenByLeptonica(pix.get(), d.file("palette.png"), IFF_PNG);
       },
       kRed, kBlue, 0},
      {"cmyk jpeg with its profile", cmykJpeg(true), kMutedRed, kMutedBlue, 8},
      {"cmyk jpeg without a profile", cmykJpeg(false), kMutedRed, kMutedBlue, 8},
      {"display p3 png",
       [](const TempDir& d) {
         VipsImage* p3 = nullptr;
         EXPECT_EQ(vips_icc_transform(redBlue().get(), &p3, "p3", "input_profile", "srgb", nullptr), 0);
         return saved(VipsImagePtr(p3).get(), d.file("p3.png"));
       },
       kRed, kBlue, 3},
  };
  for (const Case& c : cases) expectHalves(graphics, fromImageObject(decoding, c.write(dir)), c.left, c.right, c.tolerance, c.name);
}

TEST_F(ImagingPlatformTest, ImageSourcesWidenLeptonicaLayouts) {
  const auto uniform = [](int depth, l_uint32 value) {
    PixPtr pix(pixCreate(kWidth, kHeight, depth));
    pixSetAllArbitrary(pix.get(), value);
    return pix;
  };
  const auto rgba = [](int r, int g, int b, int a) {
    l_uint32 word = 0;
    composeRGBAPixel(r, g, b, a, &word);
    return word;
  };
  struct Case {
    const char* name;
    std::function<PixPtr()> make;
    int format;
    Bgra expected;
  };
  const Case cases[] = {
      {"1 bpp ink", [&] { return uniform(1, 1); }, IFF_PNG, {0, 0, 0, 255}},
      {"8 bpp grey", [&] { return uniform(8, 100); }, IFF_PNG, {100, 100, 100, 255}},
      {"16 bpp grey", [&] { return uniform(16, 0x8080); }, IFF_TIFF_ZIP, {128, 128, 128, 255}},
      {"32 bpp rgb", [&] { return uniform(32, rgba(200, 30, 10, 0)); }, IFF_PNG, {10, 30, 200, 255}},
      {"32 bpp rgba",
       [&] {
         PixPtr pix = uniform(32, rgba(255, 0, 0, 128));
         pixSetSpp(pix.get(), 4);
         return pix;
       },
       IFF_PNG, {127, 127, 255, 255}},
      {"colormap",
       [&] {
         PixPtr pix = uniform(8, 0);
         PIXCMAP* colormap = pixcmapCreate(8);
         pixcmapAddColor(colormap, 0, 100, 200);
         pixSetColormap(pix.get(), colormap);
         return pix;
       },
       IFF_TIFF_ZIP, {200, 100, 0, 255}},
  };
  for (const Case& c : cases) {
    const std::string path = writtenByLeptonica(c.make().get(), dir.file(c.name), c.format);
    const std::optional<Image> image = fromImageSource(decoding, path);
    ASSERT_TRUE(image) << c.name;
    expectNear(render(graphics, *image).at(kWidth / 2, kHeight / 2), c.expected, 1, c.name);
  }
}

TEST_F(ImagingPlatformTest, ImageSourceReadsTheFirstPageOfATiff) {
  const std::string path = dir.file("pages.tif");
  for (const auto& [grey, mode] : {std::pair{30u, "w"}, std::pair{220u, "a"}}) {
    const PixPtr page(pixCreate(8, 8, 8));
    pixSetAllArbitrary(page.get(), grey);
    ASSERT_EQ(pixWriteTiff(path.c_str(), page.get(), IFF_TIFF_ZIP, mode), 0);
  }
  const std::optional<Image> image = fromImageSource(decoding, path);
  ASSERT_TRUE(image);
  expectNear(render(graphics, *image).at(4, 4), {30, 30, 30, 255}, 0, "page 0");
}

TEST_F(ImagingPlatformTest, ExifOrientationSixComesOutUpright) {
  // Stored 64x32 with a black mark top left; shown turned clockwise, 32x64
  // with the mark top right.
  const VipsImagePtr white = halves<std::uint8_t>({255}, {255}, VIPS_INTERPRETATION_B_W);
  VipsImage* marked = nullptr;
  ASSERT_EQ(vips_draw_rect1(white.get(), 0, 0, 0, 16, 16, "fill", TRUE, nullptr), 0);
  ASSERT_EQ(vips_copy(white.get(), &marked, nullptr), 0);
  const VipsImagePtr owner(marked);
  vips_image_set_int(marked, VIPS_META_ORIENTATION, 6);
  const std::string path = saved(marked, dir.file("turned.jpg"));

  auto object = decoding.makeImageObject(path);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->size().width, kHeight);
  EXPECT_EQ(object->size().height, kWidth);
  Rect rect{0, 0, kHeight, kWidth};
  const std::optional<Image> image = object->imageForProposedRect(rect);
  ASSERT_TRUE(image);
  const Canvas canvas = render(graphics, *image);
  ASSERT_EQ(canvas.width, kHeight);
  expectNear(canvas.at(kHeight - 8, 8), {0, 0, 0, 255}, 8, "mark");
  expectNear(canvas.at(8, 8), {255, 255, 255, 255}, 8, "top left");
}

TEST_F(ImagingPlatformTest, PathsThatAreNoRegularFileOrNoImageGiveNothing) {
  // A FIFO holding a whole PNG and no writer, so a reader would get the PNG
  // and then end of file: only the file type keeps it from being decoded.
  const std::string loadedFifo = dir.file("loaded-fifo");
  ASSERT_EQ(mkfifo(loadedFifo.c_str(), 0600), 0);
  const int writer = open(loadedFifo.c_str(), O_RDWR | O_NONBLOCK);
  void* png = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(vips_pngsave_buffer(redBlue().get(), &png, &length, nullptr), 0);
  EXPECT_EQ(write(writer, png, length), ssize_t(length));
  g_free(png);
  const int keeper = open(loadedFifo.c_str(), O_RDONLY | O_NONBLOCK);  // keeps the bytes once the writer goes
  close(writer);

  const std::pair<const char*, std::function<std::string()>> cases[] = {
      {"directory", [&] { return dir.path().string(); }},
      {"fifo without a writer",
       [&] {
         const std::string path = dir.file("fifo");
         EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
         return path;
       }},
      {"fifo holding a png", [&] { return loadedFifo; }},
      {"device", [] { return std::string("/dev/zero"); }},
      {"empty file", [&] { return written(dir.file("empty"), ""); }},
      {"text file", [&] { return written(dir.file("text"), "not an image, just words\n"); }},
  };
  for (const auto& [name, make] : cases) {
    const std::string path = make();
    EXPECT_FALSE(decoding.makeImageObject(path)) << name;
    EXPECT_FALSE(fromImageSource(decoding, path)) << name;
  }
  close(keeper);
}

std::uint32_t crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

std::string pngChunk(const std::string& type, const std::string& data) {
  const auto bigEndian = [](std::uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  return bigEndian(std::uint32_t(data.size())) + type + data + bigEndian(crc32(type + data));
}

TEST_F(ImagingPlatformTest, HugePngHeaderIsHandedBackUndecoded) {
  const std::string side{"\x00\x01\x86\xA0", 4};  // 100000
  const std::string png = std::string("\x89PNG\r\n\x1A\n") +
                          pngChunk("IHDR", side + side + std::string{"\x08\x02\x00\x00\x00", 5}) +
                          pngChunk("IDAT", std::string{"\x78\x9C\x03\x00\x00\x00\x00\x01", 8}) + pngChunk("IEND", "");
  const std::string path = written(dir.file("bomb.png"), png);

  auto object = decoding.makeImageObject(path);
  ASSERT_TRUE(object);
  Rect rect{0, 0, 100000, 100000};
  const std::optional<Image> image = object->imageForProposedRect(rect);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->vips()->dtype, VIPS_IMAGE_PARTIAL) << "decoded";
  EXPECT_EQ(graphics.createPixelBuffer(graphics.imageWidth(*image), graphics.imageHeight(*image), kPixelFormat32BGRA)
                .status,
            kPixelBufferAllocationFailed);
  EXPECT_FALSE(object->tiffRepresentation());
  EXPECT_FALSE(fromImageSource(decoding, path));
}

TEST_F(ImagingPlatformTest, FillRectClipsAndCompositesPremultiplied) {
  Canvas canvas{8, 4, std::vector<std::uint8_t>((8 * 4 + kRowPadding) * 4, 0)};
  auto context = graphics.createBitmapContext(canvas.memory.data(), 8, 4, 8, 8 * 4 + kRowPadding,
                                              kBitmapInfoPremultipliedFirst32Little);
  ASSERT_TRUE(context);
  context->setFillColor({1, 0, 0, 1});
  context->fillRect({-2, -2, 6, 4});
  context->setFillColor({0, 0, 1, 0.5});
  context->fillRect({0, 0, 100, 100});
  expectNear(canvas.at(3, 1), {128, 0, 127, 255}, 0, "blue over red");
  expectNear(canvas.at(4, 1), {128, 0, 0, 128}, 0, "blue over nothing");
  expectNear(canvas.at(3, 2), {128, 0, 0, 128}, 0, "below the red");
  EXPECT_EQ(canvas.memory[8 * 4], 0) << "row padding written";
}

TEST_F(ImagingPlatformTest, BitmapContextRefusesLayoutsItCannotDraw) {
  std::vector<std::uint8_t> memory(64 * 4);
  struct Case {
    const char* name;
    std::uint8_t* memory;
    std::int64_t width, height;
    int bitsPerComponent;
    std::size_t bytesPerRow;
    std::uint32_t bitmapInfo;
  };
  const std::uint32_t ok = kBitmapInfoPremultipliedFirst32Little;
  const Case cases[] = {
      {"no memory", nullptr, 8, 4, 8, 32, ok},          {"no width", memory.data(), 0, 4, 8, 32, ok},
      {"no height", memory.data(), 8, 0, 8, 32, ok},     {"16-bit", memory.data(), 8, 4, 16, 64, ok},
      {"big-endian", memory.data(), 8, 4, 8, 32, 0x4002}, {"short rows", memory.data(), 8, 4, 8, 31, ok},
  };
  for (const Case& c : cases)
    EXPECT_FALSE(graphics.createBitmapContext(c.memory, c.width, c.height, c.bitsPerComponent, c.bytesPerRow,
                                              c.bitmapInfo))
        << c.name;
}

}  // namespace
}  // namespace tarnwick
