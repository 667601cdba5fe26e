#pragma once

// Drawing a document's page with cairo into the pixels a decoder child
// sends back: the renderers of vector formats (PDF, SVG) draw on it.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "isolation/decoder_child.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {

struct CairoSurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct CairoContextDestroy {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};

// A canvas of width x height pixels (rounded up), refused before it exists
// when past the pixel limit. An opaque canvas starts white and gives RGB; a
// transparent one starts clear and gives straight (not premultiplied) RGBA.
// `draw` paints on it and says whether it could.
template <typename Draw>
std::optional<DecodedPixels> drawnOnCanvas(double width, double height, bool opaque, Draw draw) {
  width = std::ceil(width), height = std::ceil(height);
  if (!(width >= 1 && height >= 1 && width * height <= double(kMaxPixelBufferPixels))) return std::nullopt;
  const std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy> surface(
      cairo_image_surface_create(opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, int(width), int(height)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  {
    const std::unique_ptr<cairo_t, CairoContextDestroy> context(cairo_create(surface.get()));
    if (opaque) {
      cairo_set_source_rgb(context.get(), 1, 1, 1);
      cairo_paint(context.get());
    }
    if (!draw(context.get()) || cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  }
  cairo_surface_flush(surface.get());
  const std::uint32_t channels = opaque ? 3 : 4;
  DecodedPixels pixels{std::uint32_t(width), std::uint32_t(height), channels, {}};
  pixels.samples.resize(std::size_t(pixels.width) * pixels.height * channels);
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface.get()));
  std::uint8_t* out = pixels.samples.data();
  for (std::uint32_t y = 0; y < pixels.height; ++y)
    for (std::uint32_t x = 0; x < pixels.width; ++x, out += channels) {
      std::uint32_t pixel = 0;  // 0xAARRGGBB in native order, premultiplied
      std::memcpy(&pixel, data + y * stride + x * 4, 4);
      const std::uint32_t alpha = opaque ? 255 : pixel >> 24;
      for (std::uint32_t channel = 0; channel < 3; ++channel) {
        const std::uint32_t component = (pixel >> (16 - 8 * channel)) & 0xFF;
        out[channel] = alpha == 0 ? 0 : std::uint8_t(std::min<std::uint32_t>(255, (component * 255 + alpha / 2) / alpha));
      }
      if (!opaque) out[3] = std::uint8_t(alpha);
    }
  return pixels;
}

}  // namespace tarnwick
