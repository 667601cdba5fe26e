#include <sys/stat.h>

#include <array>
#include <fstream>
#include <type_traits>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <vips/vips.h>

#include "platform/vips_graphics.h"
#include "platform/vips_image_decoding.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::VipsImagePtr;
using Bgra = std::array<int, 4>;
using U8 = std::uint8_t;
using U16 = std::uint16_t;
constexpr VipsInterpretation kGreyType = VIPS_INTERPRETATION_B_W, kSRGBType = VIPS_INTERPRETATION_sRGB;
struct PixDestroy {
  void operator()(PIX* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<PIX, PixDestroy>;

constexpr int kWidth = 64, kHeight = 32;
constexpr std::size_t kRowPadding = 12;
constexpr std::uint8_t kPaddingSentinel = 0xA5;
const Bgra kRed{40, 40, 200, 255}, kBlue{200, 40, 40, 255}, kWhite{255, 255, 255, 255};

// kWidth x kHeight, the left half one pixel and the right half another.
template <typename Sample>
VipsImagePtr halves(const std::vector<Sample>& left, const std::vector<Sample>& right, VipsInterpretation type) {
  std::vector<Sample> samples;
  for (int i = 0; i < kWidth * kHeight; ++i) {
    const std::vector<Sample>& pixel = i % kWidth < kWidth / 2 ? left : right;
    samples.insert(samples.end(), pixel.begin(), pixel.end());
  }
  const VipsBandFormat format = std::is_same_v<Sample, float>           ? VIPS_FORMAT_FLOAT
                                : std::is_same_v<Sample, std::uint16_t> ? VIPS_FORMAT_USHORT
                                                                        : VIPS_FORMAT_UCHAR;
  VipsImagePtr image(vips_image_new_from_memory_copy(samples.data(), samples.size() * sizeof(Sample), kWidth, kHeight,
                                                     int(left.size()), format));
  image->Type = type;
  return image;
}

VipsImagePtr redBlue() { return halves<U8>({200, 40, 40}, {40, 40, 200}, kSRGBType); }

std::string saved(VipsImage* image, const std::string& path, const std::string& options = "") {
  testing::saveImage(image, path + options);
  return path;
}

std::string written(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Memory laid out as pixel buffers are, with row padding that drawing must
// leave alone.
struct Canvas {
  int width, height;
  std::vector<std::uint8_t> memory;
  std::unique_ptr<BitmapContext> context;
  Canvas(Graphics& graphics, int w, int h, std::uint8_t initial)
      : width(w), height(h), memory((w * 4 + kRowPadding) * h, initial) {
    context = graphics.createBitmapContext(memory.data(), w, h, 8, w * 4 + kRowPadding,
                                           kBitmapInfoPremultipliedFirst32Little);
  }
  Bgra at(int x, int y) const {
    const std::uint8_t* p = &memory[y * (width * 4 + kRowPadding) + x * 4];
    return {p[0], p[1], p[2], p[3]};
  }
};

// Drawn over white, the way pixel buffers are prepared.
Canvas render(Graphics& graphics, const Image& image) {
  Canvas canvas(graphics, int(graphics.imageWidth(image)), int(graphics.imageHeight(image)), kPaddingSentinel);
  if (!canvas.context) {
    ADD_FAILURE() << "no bitmap context";
    return canvas;
  }
  const Rect whole{0, 0, double(canvas.width), double(canvas.height)};
  canvas.context->setInterpolationQuality(InterpolationQuality::high);
  canvas.context->setFillColor({1, 1, 1, 1});
  canvas.context->fillRect(whole);
  canvas.context->drawImage(image, whole);
  for (int y = 0; y < canvas.height; ++y)
    for (std::size_t i = canvas.width * 4; i < canvas.width * 4 + kRowPadding; ++i)
      EXPECT_EQ(canvas.memory[y * (canvas.width * 4 + kRowPadding) + i], kPaddingSentinel) << "padding, row " << y;
  return canvas;
}

void expectNear(const Bgra& actual, const Bgra& expected, int tolerance, const std::string& where) {
  for (int i = 0; i < 4; ++i)
    EXPECT_NEAR(actual[i], expected[i], tolerance) << where << ", channel "
                                                   << "BGRA"[i];
}

void expectHalves(Graphics& graphics, const std::optional<Image>& image, const Bgra& left, const Bgra& right,
                  int tolerance, const std::string& what) {
  ASSERT_TRUE(image) << what << ": nothing decoded";
  const Canvas canvas = render(graphics, *image);
  ASSERT_EQ(canvas.width, kWidth) << what;
  ASSERT_EQ(canvas.height, kHeight) << what;
  expectNear(canvas.at(kWidth / 4, kHeight / 2), left, tolerance, what + ", left");
  expectNear(canvas.at(3 * kWidth / 4, kHeight / 2), right, tolerance, what + ", right");
}

class ImagingPlatformTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VIPS_INIT("imaging_platform_test");
    vips_block_untrusted_set(TRUE);  // as every run does
    setMsgSeverity(L_SEVERITY_NONE);
  }
  std::optional<Image> fromImageObject(const std::string& path) {
    auto object = decoding.makeImageObject(path);
    Rect rect{0, 0, kWidth, kHeight};
    return object ? object->imageForProposedRect(rect) : std::nullopt;
  }
  std::optional<Image> fromImageSource(const std::string& path) {
    auto source = decoding.makeImageSource(path);
    return source ? source->imageAtIndex(0) : std::nullopt;
  }
  // Every decoder meant to read the file gives the red and blue halves: the
  // image object, its TIFF data, the image source.
  void expectRedBlue(const std::string& path, bool libvipsReads, bool leptonicaReads, int tolerance) {
    auto object = decoding.makeImageObject(path);
    ASSERT_EQ(bool(object), libvipsReads) << path;
    if (object) {
      Rect rect{0, 0, kWidth, kHeight};
      expectHalves(graphics, object->imageForProposedRect(rect), kRed, kBlue, tolerance, path);
      const std::optional<Bytes> tiff = object->tiffRepresentation();
      ASSERT_TRUE(tiff) << path;
      expectHalves(graphics, decoding.bitmapImageFromTIFFData(*tiff), kRed, kBlue, tolerance, path + " as tiff");
    }
    if (leptonicaReads) expectHalves(graphics, fromImageSource(path), kRed, kBlue, tolerance, path + " by leptonica");
  }
  testing::TempDir dir;
  VipsImageDecoding decoding;
  VipsGraphics graphics;
};

TEST_F(ImagingPlatformTest, EachFormatReachesTheDecodersMeantForIt) {
  expectRedBlue(saved(redBlue().get(), dir.file("a.png")), true, true, 0);
  expectRedBlue(saved(redBlue().get(), dir.file("a.jpg"), "[Q=95]"), true, true, 8);
  expectRedBlue(saved(redBlue().get(), dir.file("a.tif")), true, true, 0);
  expectRedBlue(saved(redBlue().get(), dir.file("a.gif")), true, true, 2);
  expectRedBlue(saved(redBlue().get(), dir.file("a.webp"), "[lossless]"), true, true, 0);
  const PixPtr pix(pixRead(dir.file("a.png").c_str()));
  ASSERT_EQ(pixWrite(dir.file("a.bmp").c_str(), pix.get(), IFF_BMP), 0);
  expectRedBlue(dir.file("a.bmp"), false, true, 0);  // libvips leaves BMP to its untrusted loaders
}

TEST_F(ImagingPlatformTest, HeifFormatsDecodeThroughLibvips) {
  for (const char* suffix : {".avif", ".heic"}) {
    if (vips_foreign_find_save(suffix) == nullptr) GTEST_SKIP() << "this libvips cannot write " << suffix;
    expectRedBlue(saved(redBlue().get(), dir.file(std::string("a") + suffix), "[lossless]"), true, false, 12);
  }
}

TEST_F(ImagingPlatformTest, ColourEncodingsDrawAsSRGB) {
  // Colours inside the CMYK gamut, so they survive the round trip; a P3
  // profile, so pixels drawn without it come out visibly wrong.
  VipsImage *out1 = nullptr, *out2 = nullptr, *out3 = nullptr, *out4 = nullptr;
  const VipsImagePtr muted = halves<U8>({180, 110, 90}, {90, 120, 150}, kSRGBType);
  ASSERT_EQ(vips_colourspace(muted.get(), &out1, VIPS_INTERPRETATION_CMYK, nullptr), 0);
  VipsImagePtr cmyk(out1);
  ASSERT_EQ(vips_copy(cmyk.get(), &out2, nullptr), 0);
  VipsImagePtr unprofiledCmyk(out2);
  ASSERT_TRUE(vips_image_remove(unprofiledCmyk.get(), VIPS_META_ICC_NAME));
  ASSERT_EQ(vips_icc_transform(redBlue().get(), &out3, "p3", "input_profile", "srgb", nullptr), 0);
  VipsImagePtr p3(out3);
  const VipsImagePtr rgba16 = halves<U16>({65535, 0, 0, 32896}, {0, 0, 65535, 65535}, VIPS_INTERPRETATION_RGB16);
  ASSERT_EQ(vips_icc_transform(rgba16.get(), &out4, "srgb", "input_profile", "srgb", "depth", 16, nullptr), 0);
  VipsImagePtr profiledRgba16(out4);
  const Bgra kMutedRed{90, 110, 180, 255}, kMutedBlue{150, 120, 90, 255};
  const struct {
    const char* file;
    VipsImagePtr image;
    Bgra left, right;
    int tolerance;
  } cases[] = {
      {"grey.png", halves<U8>({100}, {200}, kGreyType), {100, 100, 100, 255}, {200, 200, 200, 255}, 0},
      {"black-then-transparent.png", halves<U8>({0, 255}, {0, 0}, kGreyType), {0, 0, 0, 255}, kWhite, 0},
      {"half-transparent.png",
       halves<U8>({255, 0, 0, 128}, {0, 0, 255, 255}, kSRGBType),
       {127, 127, 255, 255},
       {255, 0, 0, 255},
       1},
      {"rgb16.png",
       halves<U16>({65535, 32896, 0}, {0, 0, 65535}, VIPS_INTERPRETATION_RGB16),
       {0, 128, 255, 255},
       {255, 0, 0, 255},
       1},
      {"grey16.png", halves<U16>({32896}, {65535}, VIPS_INTERPRETATION_GREY16), {128, 128, 128, 255}, kWhite, 1},
      {"float.tif",
       halves<float>({1, 0.2159f, 0}, {0, 0, 0}, VIPS_INTERPRETATION_scRGB),
       {0, 128, 255, 255},
       {0, 0, 0, 255},
       1},
      {"cmyk.jpg", std::move(cmyk), kMutedRed, kMutedBlue, 8},
      {"unprofiled-cmyk.jpg", std::move(unprofiledCmyk), kMutedRed, kMutedBlue, 8},
      {"p3.png", std::move(p3), kRed, kBlue, 3},
      {"profiled-rgba16.png", std::move(profiledRgba16), {127, 127, 255, 255}, {255, 0, 0, 255}, 1},
  };
  for (const auto& c : cases)
    expectHalves(graphics, fromImageObject(saved(c.image.get(), dir.file(c.file))), c.left, c.right, c.tolerance,
                 c.file);
}

TEST_F(ImagingPlatformTest, LeptonicaLayoutsDecodeAlikeThroughBothDecoders) {
  const auto uniform = [](int depth, l_uint32 value, int samplesPerPixel = 0, PIXCMAP* colormap = nullptr) {
    PixPtr pix(pixCreate(kWidth, kHeight, depth));
    pixSetAllArbitrary(pix.get(), value);
    if (samplesPerPixel != 0) pixSetSpp(pix.get(), samplesPerPixel);
    if (colormap != nullptr) pixSetColormap(pix.get(), colormap);
    return pix;
  };
  const auto rgba = [](int r, int g, int b, int a) {
    l_uint32 word = 0;
    composeRGBAPixel(r, g, b, a, &word);
    return word;
  };
  PIXCMAP* palette = pixcmapCreate(8);
  pixcmapAddColor(palette, 0, 100, 200);
  struct Case {
    const char* file;
    PixPtr pix;
    int format;
    Bgra expected;
  };
  const Case cases[] = {
      {"1bpp.png", uniform(1, 1), IFF_PNG, {0, 0, 0, 255}},  // 1 is ink
      {"grey.png", uniform(8, 100), IFF_PNG, {100, 100, 100, 255}},
      {"grey16.tif", uniform(16, 0x8080), IFF_TIFF_ZIP, {128, 128, 128, 255}},
      {"rgb.png", uniform(32, rgba(200, 30, 10, 0)), IFF_PNG, {10, 30, 200, 255}},
      {"rgba.png", uniform(32, rgba(255, 0, 0, 128), 4), IFF_PNG, {127, 127, 255, 255}},
      {"palette.png", uniform(8, 0, 0, palette), IFF_PNG, {200, 100, 0, 255}},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file(c.file);
    ASSERT_EQ(pixWrite(path.c_str(), c.pix.get(), c.format), 0) << c.file;
    for (const auto& image : {fromImageObject(path), fromImageSource(path)}) {
      ASSERT_TRUE(image) << c.file;
      expectNear(render(graphics, *image).at(kWidth / 2, kHeight / 2), c.expected, 1, c.file);
    }
  }
}

TEST_F(ImagingPlatformTest, ExifOrientationSixComesOutUpright) {
  // Stored 64x32 with a black mark top left; shown turned clockwise: 32x64,
  // the mark top right.
  VipsImagePtr marked = halves<U8>({255}, {255}, kGreyType);
  ASSERT_EQ(vips_draw_rect1(marked.get(), 0, 0, 0, 16, 16, "fill", TRUE, nullptr), 0);
  vips_image_set_int(marked.get(), VIPS_META_ORIENTATION, 6);
  auto object = decoding.makeImageObject(saved(marked.get(), dir.file("turned.jpg")));
  ASSERT_TRUE(object);
  EXPECT_EQ(object->size().width, kHeight);
  EXPECT_EQ(object->size().height, kWidth);
  Rect rect{0, 0, kHeight, kWidth};
  const std::optional<Image> image = object->imageForProposedRect(rect);
  ASSERT_TRUE(image);
  const Canvas canvas = render(graphics, *image);
  ASSERT_EQ(canvas.width, kHeight);
  expectNear(canvas.at(kHeight - 8, 8), {0, 0, 0, 255}, 8, "mark");
  expectNear(canvas.at(8, 8), kWhite, 8, "top left");
}

TEST_F(ImagingPlatformTest, PathsThatAreNoRegularFileOrNoImageGiveNothing) {
  const std::string fifo = dir.file("fifo");  // no writer: opening it for reading would wait
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.path().string(), fifo, std::string("/dev/zero"), written(dir.file("empty"), ""),
                                  written(dir.file("text"), "just words\n")}) {
    EXPECT_FALSE(decoding.makeImageObject(path)) << path;
    EXPECT_FALSE(fromImageSource(path)) << path;
  }
}

std::string pngChunk(const std::string& type, const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const unsigned char byte : type + data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  const auto bigEndian = [](std::uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  return bigEndian(std::uint32_t(data.size())) + type + data + bigEndian(~crc);
}

TEST_F(ImagingPlatformTest, HugePngHeaderIsHandedBackUndecoded) {
  const std::string side{"\x00\x01\x86\xA0", 4};  // 100000
  const std::string path = written(
      dir.file("bomb.png"),
      std::string("\x89PNG\r\n\x1A\n") + pngChunk("IHDR", side + side + std::string{"\x08\x02\x00\x00\x00", 5}) +
          pngChunk("IDAT", std::string{"\x78\x9C\x03\x00\x00\x00\x00\x01", 8}) + pngChunk("IEND", ""));
  auto object = decoding.makeImageObject(path);
  ASSERT_TRUE(object);
  Rect rect{0, 0, 100000, 100000};
  const std::optional<Image> image = object->imageForProposedRect(rect);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->vips()->dtype, VIPS_IMAGE_PARTIAL) << "decoded";
  EXPECT_EQ(
      graphics.createPixelBuffer(graphics.imageWidth(*image), graphics.imageHeight(*image), kPixelFormat32BGRA).status,
      kPixelBufferAllocationFailed);
  EXPECT_FALSE(object->tiffRepresentation());
  EXPECT_FALSE(fromImageSource(path));
}

TEST_F(ImagingPlatformTest, FillsAndImagesLandInTheirClippedRectangles) {
  Canvas canvas(graphics, 24, 8, 0);
  ASSERT_TRUE(canvas.context);
  canvas.context->setFillColor({1, 0, 0, 1});
  canvas.context->fillRect({-2, -2, 6, 4});  // clipped to x < 4, y < 2
  canvas.context->setFillColor({0, 0, 1, 0.5});
  canvas.context->fillRect({0, 0, 100, 100});
  expectNear(canvas.at(3, 1), {128, 0, 127, 255}, 0, "half blue over red");
  expectNear(canvas.at(4, 1), {128, 0, 0, 128}, 0, "half blue right of the red");
  expectNear(canvas.at(3, 2), {128, 0, 0, 128}, 0, "half blue below the red");
  canvas.context->setInterpolationQuality(InterpolationQuality::none);
  canvas.context->drawImage(Image(redBlue().release()), {4, 0, 16, 8});  // scaled down by 4
  expectNear(canvas.at(2, 4), {128, 0, 0, 128}, 0, "left of the image");
  expectNear(canvas.at(6, 4), kRed, 0, "left half");
  expectNear(canvas.at(17, 4), kBlue, 0, "right half");
  expectNear(canvas.at(21, 4), {128, 0, 0, 128}, 0, "right of the image");
  EXPECT_EQ(canvas.memory[24 * 4], 0) << "row padding written";
}

TEST_F(ImagingPlatformTest, BitmapContextRefusesLayoutsItCannotDraw) {
  std::vector<std::uint8_t> memory(64 * 4);
  const std::uint32_t ok = kBitmapInfoPremultipliedFirst32Little;
  const struct {
    std::uint8_t* memory;
    std::int64_t width, height;
    int bitsPerComponent;
    std::size_t bytesPerRow;
    std::uint32_t bitmapInfo;
  } cases[] = {{nullptr, 8, 4, 8, 32, ok},           {memory.data(), 0, 4, 8, 32, ok},
               {memory.data(), 8, 0, 8, 32, ok},     {memory.data(), 8, 4, 16, 64, ok},
               {memory.data(), 8, 4, 8, 32, 0x4002}, {memory.data(), 8, 4, 8, 31, ok}};
  for (const auto& c : cases)
    EXPECT_FALSE(
        graphics.createBitmapContext(c.memory, c.width, c.height, c.bitsPerComponent, c.bytesPerRow, c.bitmapInfo))
        << &c - cases;
}

}  // namespace
}  // namespace tarnwick
