#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/image.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;
};

enum class InterpolationQuality { none = 1, low = 2, high = 3 };

// 32-bit little-endian words, alpha premultiplied and first: BGRA in memory.
inline constexpr std::uint32_t kBitmapInfoPremultipliedFirst32Little = 0x2002;

// A drawing context that writes straight into memory it does not own, in the
// device RGB (sRGB) colour space. Drawing composites source over destination.
class BitmapContext {
 public:
  virtual ~BitmapContext() = default;
  virtual void setInterpolationQuality(InterpolationQuality quality) = 0;
  virtual void setFillColor(const Color& color) = 0;
  virtual void fillRect(const Rect& rect) = 0;
  // Draws the image once, upright, scaled to fill the rectangle. False when
  // its pixels could not all be read: the bitmap then holds part of it.
  [[nodiscard]] virtual bool drawImage(const Image& image, const Rect& rect) = 0;
};

// Image geometry, pixel buffers and bitmap drawing.
class Graphics {
 public:
  virtual ~Graphics() = default;
  virtual std::int64_t imageWidth(const Image& image) = 0;
  virtual std::int64_t imageHeight(const Image& image) = 0;
  virtual PixelBufferCreation createPixelBuffer(std::int64_t width, std::int64_t height,
                                                std::uint32_t pixelFormat) = 0;
  // A context over `memory` (height rows of bytesPerRow bytes), or nothing
  // when the layout is not one the context can draw.
  virtual std::unique_ptr<BitmapContext> createBitmapContext(std::uint8_t* memory, std::int64_t width,
                                                             std::int64_t height, int bitsPerComponent,
                                                             std::size_t bytesPerRow,
                                                             std::uint32_t bitmapInfo) = 0;
};

}  // namespace tarnwick
