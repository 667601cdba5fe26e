#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/graphics.h"

namespace tarnwick {

// Geometry from libvips, buffers from createPixelBuffer, and bitmap contexts
// that draw with libvips.
//
// A context takes 8-bit premultiplied BGRA (kBitmapInfoPremultipliedFirst32Little)
// and writes only the first 4 * width bytes of each row, so row padding is
// left alone. Its coordinates are pixels from the top-left corner, y growing
// downwards as the rows lie in memory. Images are converted to sRGB, colour
// managed when they carry an ICC profile, and composited source over.
class VipsGraphics final : public Graphics {
 public:
  std::int64_t imageWidth(const Image& image) override;
  std::int64_t imageHeight(const Image& image) override;
  PixelBufferCreation createPixelBuffer(std::int64_t width, std::int64_t height, std::uint32_t pixelFormat) override;
  std::unique_ptr<BitmapContext> createBitmapContext(std::uint8_t* memory, std::int64_t width, std::int64_t height,
                                                     int bitsPerComponent, std::size_t bytesPerRow,
                                                     std::uint32_t bitmapInfo) override;
};

}  // namespace tarnwick
