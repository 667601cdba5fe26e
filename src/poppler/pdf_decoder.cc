// The decoder child for PDF: the first page rendered by Poppler at 300 dpi
// on white.
#include <cairo.h>
#include <poppler.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

constexpr double kDotsPerInch = 300;
constexpr double kPointsPerInch = 72;

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct SurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDestroy {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};

std::optional<DecodedPixels> decode(const std::vector<std::uint8_t>& file, std::string_view format) {
  if (format != "pdf" || file.empty()) return std::nullopt;
  // The bytes outlive the document: the child ends with the pixels sent.
  GBytes* bytes = g_bytes_new_static(file.data(), file.size());
  const std::unique_ptr<PopplerDocument, Unref> document(poppler_document_new_from_bytes(bytes, nullptr, nullptr));
  g_bytes_unref(bytes);
  if (!document || poppler_document_get_n_pages(document.get()) < 1) return std::nullopt;
  const std::unique_ptr<PopplerPage, Unref> page(poppler_document_get_page(document.get(), 0));
  if (!page) return std::nullopt;
  double widthPoints = 0, heightPoints = 0;
  poppler_page_get_size(page.get(), &widthPoints, &heightPoints);
  const double scale = kDotsPerInch / kPointsPerInch;
  const double width = std::ceil(widthPoints * scale), height = std::ceil(heightPoints * scale);
  // The page box, from the document's objects, before any pixel exists.
  if (!(width >= 1 && height >= 1 && width * height <= double(kMaxPixelBufferPixels))) return std::nullopt;
  const std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(width), int(height)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  {
    const std::unique_ptr<cairo_t, ContextDestroy> context(cairo_create(surface.get()));
    cairo_set_source_rgb(context.get(), 1, 1, 1);
    cairo_paint(context.get());
    cairo_scale(context.get(), scale, scale);
    poppler_page_render(page.get(), context.get());
    if (cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  }
  cairo_surface_flush(surface.get());
  DecodedPixels pixels{std::uint32_t(width), std::uint32_t(height), 3, {}};
  pixels.samples.resize(std::size_t(pixels.width) * pixels.height * 3);
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface.get()));
  std::uint8_t* out = pixels.samples.data();
  for (std::uint32_t y = 0; y < pixels.height; ++y)
    for (std::uint32_t x = 0; x < pixels.width; ++x, out += 3) {
      std::uint32_t pixel = 0;  // 0x00RRGGBB in native order
      std::memcpy(&pixel, data + y * stride + x * 4, 4);
      out[0] = std::uint8_t(pixel >> 16), out[1] = std::uint8_t(pixel >> 8), out[2] = std::uint8_t(pixel);
    }
  return pixels;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, tarnwick::decode); }
