#include "vips/vips_graphics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <vips/vips.h>

namespace tarnwick {
namespace {

using Bgra = std::array<std::uint8_t, 4>;

constexpr unsigned kOpaque = 255;

std::uint8_t premultiplied(unsigned component, unsigned alpha) {
  return static_cast<std::uint8_t>((component * alpha + kOpaque / 2) / kOpaque);
}

// Source over destination, both premultiplied. Clamped, so memory that never
// held valid premultiplied pixels cannot wrap around.
void compositeOver(std::uint8_t* destination, const Bgra& source) {
  if (source[3] == kOpaque) {
    std::copy(source.begin(), source.end(), destination);
    return;
  }
  const unsigned keep = kOpaque - source[3];
  for (std::size_t i = 0; i < source.size(); ++i)
    destination[i] =
        static_cast<std::uint8_t>(std::min(kOpaque, source[i] + (destination[i] * keep + kOpaque / 2) / kOpaque));
}

std::uint8_t unitToByte(double unit) {
  return unit > 0 ? static_cast<std::uint8_t>(std::lround(std::min(unit, 1.0) * kOpaque)) : 0;
}

// A rectangle edge in whole pixels, clipped to [0, limit]; NaN counts as 0.
int clippedEdge(double coordinate, int limit) {
  if (!(coordinate > 0)) return 0;
  return coordinate < limit ? static_cast<int>(std::lround(coordinate)) : limit;
}

template <typename Operation>
std::optional<Image> derive(Operation operation) {
  VipsImage* out = nullptr;
  if (operation(&out) != 0) return std::nullopt;
  return Image(out);
}

// The image as 8-bit sRGB with straight alpha, four bands. An embedded
// profile says what the numbers mean; a profile that does not fit the
// pixels is ignored and the interpretation decides instead.
std::optional<Image> straightSRGBA(const Image& image) {
  const std::optional<Image> decoded = derive([&](VipsImage** out) { return vips_image_decode(image.vips(), out); });
  if (!decoded) return std::nullopt;
  // Deeper images stay 16-bit through the transform, which passes alpha
  // through unscaled; the colourspace step below narrows colour and alpha
  // alike.
  const int depth = decoded->vips()->BandFmt == VIPS_FORMAT_UCHAR ? 8 : 16;
  std::optional<Image> managed;
  if (vips_image_get_typeof(decoded->vips(), VIPS_META_ICC_NAME) != 0)
    managed = derive([&](VipsImage** out) {
      return vips_icc_transform(decoded->vips(), out, "srgb", "embedded", TRUE, "depth", depth, nullptr);
    });
  VipsImage* tagged = managed ? managed->vips() : decoded->vips();
  const std::optional<Image> srgb = derive([&](VipsImage** out) {
    return vips_colourspace(tagged, out, VIPS_INTERPRETATION_sRGB, "source_space",
                            vips_image_guess_interpretation(tagged), nullptr);
  });
  if (!srgb) return std::nullopt;
  std::optional<Image> bytes = derive([&](VipsImage** out) { return vips_cast_uchar(srgb->vips(), out, nullptr); });
  if (!bytes) return std::nullopt;
  const int bands = bytes->vips()->Bands;
  if (bands == 3)
    return derive([&](VipsImage** out) { return vips_bandjoin_const1(bytes->vips(), out, kOpaque, nullptr); });
  if (bands > 4)
    return derive([&](VipsImage** out) { return vips_extract_band(bytes->vips(), out, 0, "n", 4, nullptr); });
  if (bands == 4) return bytes;
  return std::nullopt;
}

VipsKernel kernelFor(InterpolationQuality quality) {
  switch (quality) {
    case InterpolationQuality::none:
      return VIPS_KERNEL_NEAREST;
    case InterpolationQuality::low:
      return VIPS_KERNEL_LINEAR;
    case InterpolationQuality::high:
      return VIPS_KERNEL_LANCZOS3;
  }
  return VIPS_KERNEL_LANCZOS3;
}

struct StripDestination {
  std::uint8_t* memory;
  std::size_t bytesPerRow;
  int left;
  int top;
};

// Called by vips_sink_disc for each computed strip of straight sRGBA, in
// order and one at a time.
int compositeStrip(VipsRegion* region, VipsRect* area, void* destination) {
  const auto& to = *static_cast<const StripDestination*>(destination);
  for (int y = area->top; y < VIPS_RECT_BOTTOM(area); ++y) {
    const VipsPel* source = VIPS_REGION_ADDR(region, area->left, y);
    std::uint8_t* row = to.memory + std::size_t(to.top + y) * to.bytesPerRow + std::size_t(to.left + area->left) * 4;
    for (int x = 0; x < area->width; ++x, source += 4, row += 4) {
      const unsigned alpha = source[3];
      if (alpha == kOpaque)
        row[0] = source[2], row[1] = source[1], row[2] = source[0], row[3] = kOpaque;
      else if (alpha != 0)
        compositeOver(row, {premultiplied(source[2], alpha), premultiplied(source[1], alpha),
                            premultiplied(source[0], alpha), source[3]});
    }
  }
  return 0;
}

class VipsBitmapContext final : public BitmapContext {
 public:
  VipsBitmapContext(std::uint8_t* memory, int width, int height, std::size_t bytesPerRow)
      : memory_(memory), width_(width), height_(height), bytesPerRow_(bytesPerRow) {}

  void setInterpolationQuality(InterpolationQuality quality) override { kernel_ = kernelFor(quality); }

  void setFillColor(const Color& color) override {
    const std::uint8_t alpha = unitToByte(color.alpha);
    const double coverage = alpha / double(kOpaque);
    fill_ = {unitToByte(std::min(color.blue, 1.0) * coverage), unitToByte(std::min(color.green, 1.0) * coverage),
             unitToByte(std::min(color.red, 1.0) * coverage), alpha};
  }

  void fillRect(const Rect& rect) override {
    const int left = clippedEdge(rect.x, width_), right = clippedEdge(rect.x + rect.width, width_);
    const int top = clippedEdge(rect.y, height_), bottom = clippedEdge(rect.y + rect.height, height_);
    if (left >= right) return;
    // An opaque colour covers what was there: one row is made and copied.
    if (fill_[3] == kOpaque) {
      std::vector<std::uint8_t> span(std::size_t(right - left) * 4);
      for (auto pixel = span.begin(); pixel != span.end(); pixel += 4) std::copy(fill_.begin(), fill_.end(), pixel);
      for (int y = top; y < bottom; ++y)
        std::copy(span.begin(), span.end(), memory_ + std::size_t(y) * bytesPerRow_ + std::size_t(left) * 4);
      return;
    }
    for (int y = top; y < bottom; ++y) {
      std::uint8_t* row = memory_ + std::size_t(y) * bytesPerRow_;
      for (int x = left; x < right; ++x) compositeOver(row + std::size_t(x) * 4, fill_);
    }
  }

  bool drawImage(const Image& image, const Rect& rect) override {
    // Placed in whole pixels. Rectangles libvips cannot address, NaN
    // included, draw nothing.
    const double x = std::round(rect.x), y = std::round(rect.y);
    const double width = std::round(rect.width), height = std::round(rect.height);
    const auto addressable = [](double value) { return std::abs(value) <= VIPS_MAX_COORD; };
    if (!(addressable(x) && addressable(y) && width >= 1 && height >= 1 && addressable(width) && addressable(height)))
      return true;
    const int left = clippedEdge(x, width_), right = clippedEdge(x + width, width_);
    const int top = clippedEdge(y, height_), bottom = clippedEdge(y + height, height_);
    if (left >= right || top >= bottom) return true;

    std::optional<Image> pixels = straightSRGBA(image);
    if (pixels && (pixels->vips()->Xsize != width || pixels->vips()->Ysize != height))
      pixels = derive([&](VipsImage** out) {
        return vips_resize(pixels->vips(), out, width / pixels->vips()->Xsize, "vscale", height / pixels->vips()->Ysize,
                           "kernel", kernel_, nullptr);
      });
    if (!pixels) return false;
    // Only the part over the bitmap is computed.
    const std::optional<Image> visible = derive([&](VipsImage** out) {
      return vips_extract_area(pixels->vips(), out, left - int(x), top - int(y), right - left, bottom - top, nullptr);
    });
    if (!visible) return false;
    StripDestination destination{memory_, bytesPerRow_, left, top};
    return vips_sink_disc(visible->vips(), compositeStrip, &destination) == 0;
  }

 private:
  std::uint8_t* memory_;
  int width_;
  int height_;
  std::size_t bytesPerRow_;
  VipsKernel kernel_ = VIPS_KERNEL_LANCZOS3;
  Bgra fill_{0, 0, 0, kOpaque};  // opaque black until a colour is set
};

}  // namespace

std::int64_t VipsGraphics::imageWidth(const Image& image) { return image.vips()->Xsize; }

std::int64_t VipsGraphics::imageHeight(const Image& image) { return image.vips()->Ysize; }

PixelBufferCreation VipsGraphics::createPixelBuffer(std::int64_t width, std::int64_t height,
                                                    std::uint32_t pixelFormat) {
  return tarnwick::createPixelBuffer(width, height, pixelFormat);
}

std::unique_ptr<BitmapContext> VipsGraphics::createBitmapContext(std::uint8_t* memory, std::int64_t width,
                                                                 std::int64_t height, int bitsPerComponent,
                                                                 std::size_t bytesPerRow, std::uint32_t bitmapInfo) {
  constexpr std::int64_t kMaxSide = std::numeric_limits<int>::max();
  if (memory == nullptr || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || bitsPerComponent != 8 ||
      bitmapInfo != kBitmapInfoPremultipliedFirst32Little || bytesPerRow / 4 < static_cast<std::uint64_t>(width))
    return nullptr;
  return std::make_unique<VipsBitmapContext>(memory, static_cast<int>(width), static_cast<int>(height), bytesPerRow);
}

}  // namespace tarnwick
