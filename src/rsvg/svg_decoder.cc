// The decoder child for SVG: the document rendered by librsvg at 300 dpi,
// a CSS pixel being 1/96 inch. Read from memory with no base address, so it
// loads no other file, and with librsvg's limits on nesting and size kept.
#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

constexpr double kDotsPerInch = 300;
constexpr double kCssPixelsPerInch = 96;

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct SurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDestroy {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};

std::uint8_t unmultiplied(std::uint32_t component, std::uint32_t alpha) {
  return std::uint8_t(std::min<std::uint32_t>(255, (component * 255 + alpha / 2) / alpha));
}

std::optional<DecodedPixels> decode(const std::vector<std::uint8_t>& file, std::string_view format) {
  if (format != "svg" || file.empty()) return std::nullopt;
  const std::unique_ptr<RsvgHandle, Unref> handle(rsvg_handle_new_from_data(file.data(), file.size(), nullptr));
  if (!handle) return std::nullopt;
  rsvg_handle_set_dpi(handle.get(), kCssPixelsPerInch);
  double cssWidth = 0, cssHeight = 0;
  if (!rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &cssWidth, &cssHeight)) {
    // No width and height: the view box is the size.
    gboolean hasViewBox = FALSE;
    RsvgRectangle viewBox{};
    rsvg_handle_get_intrinsic_dimensions(handle.get(), nullptr, nullptr, nullptr, nullptr, &hasViewBox, &viewBox);
    if (!hasViewBox) return std::nullopt;
    cssWidth = viewBox.width, cssHeight = viewBox.height;
  }
  const double scale = kDotsPerInch / kCssPixelsPerInch;
  const double width = std::ceil(cssWidth * scale), height = std::ceil(cssHeight * scale);
  if (!(width >= 1 && height >= 1 && width * height <= double(kMaxPixelBufferPixels))) return std::nullopt;
  const std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(width), int(height)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  {
    const std::unique_ptr<cairo_t, ContextDestroy> context(cairo_create(surface.get()));
    const RsvgRectangle viewport{0, 0, width, height};
    if (!rsvg_handle_render_document(handle.get(), context.get(), &viewport, nullptr)) return std::nullopt;
  }
  cairo_surface_flush(surface.get());
  DecodedPixels pixels{std::uint32_t(width), std::uint32_t(height), 4, {}};
  pixels.samples.resize(std::size_t(pixels.width) * pixels.height * 4);
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface.get()));
  std::uint8_t* out = pixels.samples.data();
  for (std::uint32_t y = 0; y < pixels.height; ++y)
    for (std::uint32_t x = 0; x < pixels.width; ++x, out += 4) {
      std::uint32_t pixel = 0;  // premultiplied 0xAARRGGBB in native order
      std::memcpy(&pixel, data + y * stride + x * 4, 4);
      const std::uint32_t alpha = pixel >> 24;
      out[3] = std::uint8_t(alpha);
      if (alpha == 0) {
        out[0] = out[1] = out[2] = 0;
        continue;
      }
      out[0] = unmultiplied((pixel >> 16) & 0xFF, alpha);
      out[1] = unmultiplied((pixel >> 8) & 0xFF, alpha);
      out[2] = unmultiplied(pixel & 0xFF, alpha);
    }
  return pixels;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, tarnwick::decode); }
