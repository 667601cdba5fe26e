// The decoder child for PDF: the first page rendered by Poppler at 300 dpi
// on white.
#include <poppler.h>

#include <memory>

#include "cairo/cairo_canvas.h"
#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

constexpr double kDotsPerInch = 300;
constexpr double kPointsPerInch = 72;

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
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
  return drawnOnCanvas(widthPoints * scale, heightPoints * scale, true, [&](cairo_t* context) {
    cairo_scale(context, scale, scale);
    poppler_page_render(page.get(), context);
    return true;
  });
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, tarnwick::decode); }
