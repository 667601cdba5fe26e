// The decoder child for SVG: the document rendered by librsvg at 300 dpi,
// a CSS pixel being 1/96 inch. Read from memory with no base address, so it
// loads no other file, and with librsvg's limits on nesting and size kept.
#include <librsvg/rsvg.h>

#include <cmath>
#include <memory>

#include "cairo/cairo_canvas.h"
#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

constexpr double kDotsPerInch = 300;
constexpr double kCssPixelsPerInch = 96;

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

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
  return drawnOnCanvas(cssWidth * scale, cssHeight * scale, false, [&](cairo_t* context) {
    const RsvgRectangle viewport{0, 0, std::ceil(cssWidth * scale), std::ceil(cssHeight * scale)};
    return rsvg_handle_render_document(handle.get(), context, &viewport, nullptr) != FALSE;
  });
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, tarnwick::decode); }
