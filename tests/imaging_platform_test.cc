#include <array>
#include <tuple>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <vips/vips.h>

#include "vips/vips_graphics.h"
#include "vips/vips_image_decoding.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using Bgra = std::array<int, 4>;
using U8 = std::uint8_t;
using U16 = std::uint16_t;
constexpr VipsInterpretation kGreyType = VIPS_INTERPRETATION_B_W, kSRGBType = VIPS_INTERPRETATION_sRGB;
constexpr int kWidth = 64, kHeight = 32;
const Bgra kWhite{255, 255, 255, 255}, kBlack{0, 0, 0, 255}, kRed{0, 0, 255, 255}, kBlue{255, 0, 0, 255},
    kHalfRed{127, 127, 255, 255}, kGrey{128, 128, 128, 255}, kOrange{0, 128, 255, 255};

class ImagingPlatformTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VIPS_INIT("imaging_platform_test");
    vips_block_untrusted_set(TRUE);  // as every run does
    setMsgSeverity(L_SEVERITY_NONE);
  }

  // Saved by libvips: kWidth x kHeight, the left half one pixel and the right
  // half another, moved into the given ICC profile from sRGB first if any.
  template <typename Sample>
  std::string saved(const char* name, const std::vector<Sample>& left, const std::vector<Sample>& right,
                    VipsInterpretation type, const char* profile = nullptr, const char* options = "") {
    std::vector<Sample> samples;
    for (int i = 0; i < kWidth * kHeight; ++i)
      for (const Sample sample : i % kWidth < kWidth / 2 ? left : right) samples.push_back(sample);
    const auto format = sizeof(Sample) == 4   ? VIPS_FORMAT_FLOAT
                        : sizeof(Sample) == 2 ? VIPS_FORMAT_USHORT
                                              : VIPS_FORMAT_UCHAR;
    testing::VipsImagePtr image(vips_image_new_from_memory_copy(samples.data(), samples.size() * sizeof(Sample), kWidth,
                                                                kHeight, int(left.size()), format));
    image->Type = type;
    VipsImage* managed = nullptr;
    EXPECT_TRUE(profile == nullptr || vips_icc_transform(image.get(), &managed, profile, "input_profile", "srgb",
                                                         "depth", format == VIPS_FORMAT_USHORT ? 16 : 8, nullptr) == 0);
    if (managed != nullptr) image.reset(managed);
    testing::saveImage(image.get(), dir.file(name) + options);
    return dir.file(name);
  }

  // Saved by Leptonica, one less than kWidth wide so its rows end in padding.
  std::string pixSaved(const char* name, int format, int depth, l_uint32 left, l_uint32 right, int bands = 1,
                       PIXCMAP* colormap = nullptr) {
    PIX* pix = pixCreate(kWidth - 1, kHeight, depth);
    pixSetAllArbitrary(pix, left);
    for (int y = 0; y < kHeight; ++y)
      for (int x = kWidth / 2; x < kWidth - 1; ++x) pixSetPixel(pix, x, y, right);
    pixSetSpp(pix, bands);
    pixSetColormap(pix, colormap);
    EXPECT_EQ(pixWrite(dir.file(name).c_str(), pix, format), 0);
    pixDestroy(&pix);
    return dir.file(name);
  }

  // Drawn over white the way pixel buffers are prepared, into rows whose
  // padding must be left alone; one pixel compared from each half.
  void expectDrawn(const std::optional<Image>& image, const Bgra& left, const Bgra& right, int tolerance) {
    ASSERT_TRUE(image) << "nothing decoded";
    const int width = int(graphics.imageWidth(*image)), height = int(graphics.imageHeight(*image));
    const std::size_t rowBytes = width * 4 + 12;
    std::vector<U8> memory(rowBytes * height, 0xA5);
    const auto context =
        graphics.createBitmapContext(memory.data(), width, height, 8, rowBytes, kBitmapInfoPremultipliedFirst32Little);
    ASSERT_TRUE(context);
    const Rect whole{0, 0, double(width), double(height)};
    context->setFillColor({1, 1, 1, 1});
    context->fillRect(whole);
    context->drawImage(*image, whole);
    for (std::size_t i = 0; i < memory.size(); ++i)
      ASSERT_TRUE(i % rowBytes < std::size_t(width) * 4 || memory[i] == 0xA5) << "padding of row " << i / rowBytes;
    for (const auto& [x, expected] : {std::pair{width / 4, left}, std::pair{3 * width / 4, right}})
      for (int channel = 0; channel < 4; ++channel)
        EXPECT_NEAR(memory[height / 2 * rowBytes + x * 4 + channel], expected[channel], tolerance)
            << "BGRA"[channel] << " at x " << x;
  }

  testing::TempDir dir;
  VipsImageDecoding decoding;
  VipsGraphics graphics;
};

TEST_F(ImagingPlatformTest, EncodingsDrawAsSRGBThroughEachDecoderThatReadsThem) {
  // CMYK colours inside the gamut, so they survive the round trip; P3, so
  // pixels drawn without their profile come out visibly wrong.
  const Bgra kMutedRed{90, 110, 180, 255}, kMutedBlue{150, 120, 90, 255};
  const std::vector<U8> mutedRed{180, 110, 90}, mutedBlue{90, 120, 150};
  PIXCMAP* palette = pixcmapCreate(8);
  pixcmapAddColor(palette, 0, 100, 200);
  pixcmapAddColor(palette, 250, 20, 10);
  // The file, the pixels drawn from each half (BGRA) and how near, whether
  // libvips (routes 1 and 2) and Leptonica (route 3) should read it.
  const std::tuple<std::string, Bgra, Bgra, int, bool, bool> cases[] = {
      {saved<U8>("grey.png", {100}, {200}, kGreyType), {100, 100, 100, 255}, {200, 200, 200, 255}, 0, 1, 1},
      {saved<U8>("grey-alpha.png", {0, 255}, {0, 0}, kGreyType), kBlack, kWhite, 0, 1, 1},
      {saved<U8>("rgba.png", {255, 0, 0, 128}, {0, 0, 255, 255}, kSRGBType), kHalfRed, kBlue, 1, 1, 1},
      {saved<U16>("rgb16.png", {65535, 32896, 0}, {0, 0, 65535}, VIPS_INTERPRETATION_RGB16), kOrange, kBlue, 1, 1, 1},
      {saved<U16>("grey16.png", {32896}, {65535}, VIPS_INTERPRETATION_GREY16), kGrey, kWhite, 1, 1, 1},
      {saved<float>("float.tif", {1, 0.2159f, 0}, {0, 0, 0}, VIPS_INTERPRETATION_scRGB), kOrange, kBlack, 1, 1, 0},
      {saved("cmyk.jpg", mutedRed, mutedBlue, kSRGBType, "cmyk"), kMutedRed, kMutedBlue, 8, 1, 0},
      {saved("bare-cmyk.jpg", mutedRed, mutedBlue, kSRGBType, "cmyk", "[strip]"), kMutedRed, kMutedBlue, 8, 1, 0},
      {saved<U8>("p3.png", {0, 0, 255}, {255, 0, 0}, kSRGBType, "p3"), kBlue, kRed, 3, 1, 0},
      {saved<U16>("rgba16.png", {65535, 0, 0, 32896}, {0, 0, 65535, 65535}, VIPS_INTERPRETATION_RGB16, "srgb"),
       kHalfRed, kBlue, 1, 1, 0},
      // Leptonica's own layouts; 32-bit pixels are 0xRRGGBBAA.
      {pixSaved("1bpp.png", IFF_PNG, 1, 1, 0), kBlack, kWhite, 0, 1, 1},  // 1 is ink
      {pixSaved("grey16.tif", IFF_TIFF_ZIP, 16, 0x8080, 0xFFFF), kGrey, kWhite, 1, 1, 1},
      {pixSaved("rgba.tif", IFF_TIFF_ZIP, 32, 0xFF000080, 0x0000FFFF, 4), kHalfRed, kBlue, 1, 1, 1},
      {pixSaved("palette.png", IFF_PNG, 8, 0, 1, 1, palette), {200, 100, 0, 255}, {10, 20, 250, 255}, 0, 1, 1},
      // libvips leaves BMP to its untrusted loaders, so only Leptonica reads it.
      {pixSaved("rgb.bmp", IFF_BMP, 32, 0xC81E0A00, 0x0A1EC800, 3), {10, 30, 200, 255}, {200, 30, 10, 255}, 0, 0, 1},
  };
  for (const auto& [path, left, right, tolerance, libvipsReads, leptonicaReads] : cases) {
    SCOPED_TRACE(path);
    const auto drawn = [&](const std::optional<Image>& image) { expectDrawn(image, left, right, tolerance); };
    const auto source = leptonicaReads ? decoding.makeImageSource(path) : nullptr;
    if (leptonicaReads) drawn(source ? source->imageAtIndex(0) : std::nullopt);
    const auto object = decoding.makeImageObject(path);
    ASSERT_EQ(bool(object), libvipsReads);
    if (!object) continue;
    Rect rect{};
    drawn(object->imageForProposedRect(rect));
    const std::optional<Bytes> tiff = object->tiffRepresentation();
    drawn(tiff ? decoding.bitmapImageFromTIFFData(*tiff) : std::nullopt);
  }
}

TEST_F(ImagingPlatformTest, BitmapContextRefusesLayoutsItCannotDraw) {
  U8 m[64 * 4]{};
  const std::uint32_t ok = kBitmapInfoPremultipliedFirst32Little;
  const std::tuple<U8*, std::int64_t, std::int64_t, int, std::size_t, std::uint32_t> cases[] = {
      {nullptr, 8, 4, 8, 32, ok}, {m, 0, 4, 8, 32, ok},     {m, 8, 0, 8, 32, ok},
      {m, 8, 4, 16, 64, ok},      {m, 8, 4, 8, 32, 0x4002}, {m, 8, 4, 8, 31, ok}};
  for (const auto& [memory, width, height, bits, rowBytes, info] : cases)
    EXPECT_FALSE(graphics.createBitmapContext(memory, width, height, bits, rowBytes, info))
        << width << "x" << height << ", " << bits << " bits, " << rowBytes << " bytes a row, info " << info;
  EXPECT_TRUE(graphics.createBitmapContext(m, 8, 4, 8, 32, ok)) << "the smallest layout that fits";
}

}  // namespace
}  // namespace tarnwick
