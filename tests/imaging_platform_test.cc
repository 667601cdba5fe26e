// The real decoders and drawing: each encoding drawn as sRGB through every
// decoding route that reads it, into exactly the memory it was given.
#include <leptonica/allheaders.h>

#include "error/ocr_error.h"
#include "imaging/pixel_buffer_preparation.h"
#include "support/test_support.h"
#include "vips/vips_graphics.h"
#include "vips/vips_image_decoding.h"
#include "vips/vips_startup.h"

namespace tarnwick {
namespace {

using Bgra = std::array<int, 4>;
using U8 = std::uint8_t;
using U16 = std::uint16_t;
constexpr int kWidth = 60, kHeight = 24;
VipsGraphics graphics;

// Saved by libvips: the left half one pixel and the right half another,
// moved into the ICC profile from sRGB first if there is one.
const testing::TempDir& dir() {
  static const testing::TempDir scratch;
  return scratch;
}

template <typename T>
std::string saved(const char* name, const std::vector<T>& left, const std::vector<T>& right, VipsInterpretation type,
                  const char* icc = nullptr, const char* options = "") {
  std::vector<T> samples;
  for (int i = 0; i < kWidth * kHeight; ++i)
    for (const T sample : i % kWidth < kWidth / 2 ? left : right) samples.push_back(sample);
  const auto format = sizeof(T) == 1 ? VIPS_FORMAT_UCHAR : sizeof(T) == 2 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_FLOAT;
  testing::VipsImagePtr image(vips_image_new_from_memory_copy(samples.data(), samples.size() * sizeof(T), kWidth,
                                                              kHeight, int(left.size()), format));
  image->Type = type;
  if (icc != nullptr)
    image = testing::derived([&](VipsImage** to) {
      return vips_icc_transform(image.get(), to, icc, "input_profile", "srgb", "depth", int(8 * sizeof(T)), nullptr);
    });
  EXPECT_TRUE(testing::saved(image.get(), dir().file(name) + options)) << name;
  return dir().file(name);
}

// Drawn over white as pixel buffers are prepared, into rows whose padding,
// and a row past the last, must be left alone; the top-left and the
// bottom-right pixels compared.
void expectDrawn(const std::optional<Image>& image, const Bgra& left, const Bgra& right, int tolerance) {
  ASSERT_TRUE(image) << "nothing decoded";
  const int width = int(graphics.imageWidth(*image)), height = int(graphics.imageHeight(*image));
  const std::size_t rowBytes = width * 4 + 12;
  std::vector<U8> memory(rowBytes * (height + 1), 0xA5);
  const auto context =
      graphics.createBitmapContext(memory.data(), width, height, 8, rowBytes, kBitmapInfoPremultipliedFirst32Little);
  ASSERT_TRUE(context);
  context->setFillColor({1, 1, 1, 1});
  context->fillRect({0, 0, double(width), double(height)});
  ASSERT_TRUE(context->drawImage(*image, {0, 0, double(width), double(height)}));
  for (std::size_t i = 0; i < memory.size(); ++i)
    ASSERT_TRUE((i < rowBytes * height && i % rowBytes < width * 4u) || memory[i] == 0xA5) << "byte " << i;
  for (const auto& [at, expected] : {std::pair{std::size_t{0}, left}, std::pair{rowBytes * height - 16, right}})
    for (int channel = 0; channel < 4; ++channel)
      EXPECT_NEAR(memory[at + channel], expected[channel], tolerance) << "BGRA"[channel] << " at byte " << at;
}

TEST(ImagingPlatform, EncodingsDrawAsSRGBThroughEachRouteThatReadsThem) {
  initialiseVips("imaging_platform_test");
  setMsgSeverity(L_SEVERITY_NONE);
  close(STDIN_FILENO);  // as a host may have: files then open as descriptor 0
  VipsImageDecoding decoding;
  // CMYK colours inside the gamut, so they survive the round trip; P3, so
  // pixels drawn without their profile come out visibly wrong.
  const Bgra kWhite{255, 255, 255, 255}, kBlack{0, 0, 0, 255}, kRed{0, 0, 255, 255}, kBlue{255, 0, 0, 255},
      kHalfRed{127, 127, 255, 255}, kGrey{128, 128, 128, 255}, kOrange{0, 128, 255, 255}, kDark{100, 100, 100, 255},
      kLight{200, 200, 200, 255}, kMutedRed{90, 110, 180, 255}, kMutedBlue{150, 120, 90, 255};
  const std::vector<U8> mutedRed{180, 110, 90}, mutedBlue{90, 120, 150};
  const VipsInterpretation grey = VIPS_INTERPRETATION_B_W, srgb = VIPS_INTERPRETATION_sRGB;
  // Stored turned a quarter to the left, with EXIF saying turn right to view.
  const testing::VipsImagePtr upright(
      vips_image_new_from_file(saved<U8>("grey.png", {100}, {200}, grey).c_str(), nullptr));
  const testing::VipsImagePtr turned =
      testing::derived([&](VipsImage** out) { return vips_rot(upright.get(), out, VIPS_ANGLE_D270, nullptr); });
  vips_image_set_int(turned.get(), VIPS_META_ORIENTATION, 6);
  ASSERT_TRUE(testing::saved(turned.get(), dir().file("turned.jpg[Q=95]")));
  const std::string rgba = saved<U8>("rgba.png", {255, 128, 0, 255}, {200, 100, 50, 128}, srgb);
  const std::unique_ptr<PIX, void (*)(PIX*)> pix(pixRead(rgba.c_str()), [](PIX* p) { pixDestroy(&p); });
  ASSERT_EQ(pixWrite(dir().file("rgba.bmp").c_str(), pix.get(), IFF_BMP), 0);  // libvips writes no BMP
  // The file, the pixels drawn from each half (BGRA) and how near, and which
  // routes read it: v for libvips (routes 1 and 2), s for an image source (3).
  const std::tuple<std::string, Bgra, Bgra, int, std::string> cases[] = {
      {dir().file("grey.png"), kDark, kLight, 0, "vs"},
      {dir().file("turned.jpg"), kDark, kLight, 2, "v"},
      {saved<U8>("grey.gif", {100}, {200}, grey), kDark, kLight, 0, "vs"},
      {saved<U8>("grey-alpha.png", {0, 255}, {0, 0}, grey), kBlack, kWhite, 0, "vs"},
      {rgba, kOrange, {152, 177, 227, 255}, 0, "vs"},
      {saved<U16>("rgb16.png", {65535, 32896, 0}, {0, 0, 65535}, VIPS_INTERPRETATION_RGB16), kOrange, kBlue, 1, "vs"},
      {saved<U16>("grey16.png", {32896}, {65535}, VIPS_INTERPRETATION_GREY16), kGrey, kWhite, 1, "vs"},
      {saved<float>("float.tif", {1, 0.2159f, 0}, {0, 0, 0}, VIPS_INTERPRETATION_scRGB), kOrange, kBlack, 1, "v"},
      {saved("cmyk.jpg", mutedRed, mutedBlue, srgb, "cmyk"), kMutedRed, kMutedBlue, 8, "v"},
      {saved("bare-cmyk.jpg", mutedRed, mutedBlue, srgb, "cmyk", "[strip]"), kMutedRed, kMutedBlue, 8, "v"},
      {saved<U8>("p3.png", {0, 0, 255}, {255, 0, 0}, srgb, "p3"), kBlue, kRed, 3, "v"},
      {saved<U16>("rgba16.png", {65535, 0, 0, 32896}, {0, 0, 65535, 65535}, VIPS_INTERPRETATION_RGB16, "srgb"),
       kHalfRed, kBlue, 1, "v"},
      // Leptonica writes BMP without alpha; libvips leaves BMP to its
      // untrusted loaders, so only a decoder child reads it.
      {dir().file("rgba.bmp"), kOrange, {50, 100, 200, 255}, 0, "s"}};
  // Either held decoded or, as large images are, decoded once to check and
  // again as it is drawn.
  VipsImageDecoding streaming(0);
  for (const auto& [path, left, right, tolerance, routes] : cases) {
    SCOPED_TRACE(path);
    const auto drawn = [&](const std::optional<Image>& image) { expectDrawn(image, left, right, tolerance); };
    const auto source = decoding.makeImageSource(path);
    if (routes.ends_with('s')) drawn(source ? source->imageAtIndex(0) : std::nullopt);
    for (VipsImageDecoding* objects : {&decoding, &streaming}) {
      const auto object = objects->makeImageObject(path);
      ASSERT_EQ(bool(object), routes.starts_with('v'));
      if (!object) continue;
      Rect rect{};
      const std::optional<Image> image = object->imageForProposedRect(rect);
      drawn(image);
      const Size size = object->size();
      EXPECT_TRUE(!image || (size.width == graphics.imageWidth(*image) && size.height == graphics.imageHeight(*image)));
      const std::optional<Bytes> tiff = object->tiffRepresentation();
      drawn(tiff ? decoding.bitmapImageFromTIFFData(*tiff) : std::nullopt);
    }
  }
  // Pixels that fail to decode past a sound header give no image object's
  // image, streamed or not, so the next route is tried.
  const auto damage = [](const std::string& path) {
    std::string bytes = testing::readBytes(path);
    for (std::size_t i = 10; i < 20; ++i) bytes[i] ^= 0x5A;  // the strip, which libtiff writes first
    testing::writeBytes(path, bytes);
  };
  const std::string damaged = saved<U8>("damaged.tif", {100}, {200}, grey, nullptr, "[compression=deflate]");
  damage(damaged);
  for (VipsImageDecoding* objects : {&decoding, &streaming}) {
    const auto object = objects->makeImageObject(damaged);
    ASSERT_TRUE(object);
    Rect rect{};
    EXPECT_FALSE(object->imageForProposedRect(rect));
    EXPECT_FALSE(object->tiffRepresentation());
  }
  // Damaged in place after the check, a streamed image decodes only in part
  // as it is drawn: preparing its pixel buffer fails rather than pass on a
  // page partly blank.
  const std::string rewritten = saved<U8>("rewritten.tif", {100}, {200}, grey, nullptr, "[compression=deflate]");
  const auto object = streaming.makeImageObject(rewritten);
  ASSERT_TRUE(object);
  Rect rect{};
  const std::optional<Image> checked = object->imageForProposedRect(rect);
  ASSERT_TRUE(checked);
  damage(rewritten);
  EXPECT_THROW(makeBGRAPixelBuffer(*checked, graphics), OcrError);
  // The smallest image is prepared like any other: red at half, over opaque white.
  const Image dot(vips_image_new_from_memory_copy("\xFF\x00\x00\x80", 4, 1, 1, 4, VIPS_FORMAT_UCHAR));
  const std::unique_ptr<const PixelBuffer> buffer = makeBGRAPixelBuffer(dot, graphics);
  const BaseAddressLock lock(*buffer, LockFlags::readOnly);
  const U8* pixel = buffer->baseAddress();
  EXPECT_EQ(Bgra({pixel[0], pixel[1], pixel[2], pixel[3]}), kHalfRed);
}

}  // namespace
}  // namespace tarnwick
