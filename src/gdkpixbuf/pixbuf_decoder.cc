// The decoder child for BMP (every header, depth and compression) and Targa,
// through gdk-pixbuf's loaders, each asked for by name so no other loader
// sees the bytes.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

constexpr std::string_view kFormats[] = {"bmp", "tga"};

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

// What the loader has said of the image: its size, and which rows it has
// filled. A file cut short leaves rows unfilled, which the loaders do not
// count as an error.
struct Progress {
  bool refused = false;
  std::vector<bool> filled;
  std::size_t rowsFilled = 0;
};

// Called once the loader knows the size and before it allocates the
// pixels; a size of 0 makes every loader stop there.
void sizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
  auto& progress = *static_cast<Progress*>(data);
  if (!fitsPixelLimit(width, height)) {
    progress.refused = true;
    gdk_pixbuf_loader_set_size(loader, 0, 0);
    return;
  }
  progress.filled.assign(std::size_t(height), false);
}

void areaUpdated(GdkPixbufLoader*, int, int y, int, int height, gpointer data) {
  auto& progress = *static_cast<Progress*>(data);
  for (int row = std::max(y, 0); row < y + height && std::size_t(row) < progress.filled.size(); ++row)
    if (!progress.filled[std::size_t(row)]) {
      progress.filled[std::size_t(row)] = true;
      ++progress.rowsFilled;
    }
}

std::optional<DecodedPixels> decode(const std::vector<std::uint8_t>& file, std::string_view format) {
  bool known = false;
  for (const std::string_view name : kFormats) known = known || name == format;
  if (!known || file.empty()) return std::nullopt;
  const std::unique_ptr<GdkPixbufLoader, Unref> loader(
      gdk_pixbuf_loader_new_with_type(std::string(format).c_str(), nullptr));
  if (!loader) return std::nullopt;
  Progress progress;
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(sizePrepared), &progress);
  g_signal_connect(loader.get(), "area-updated", G_CALLBACK(areaUpdated), &progress);
  // A file cut short or broken fails to write or to close.
  const bool written = gdk_pixbuf_loader_write(loader.get(), file.data(), file.size(), nullptr) != FALSE;
  const bool closed = gdk_pixbuf_loader_close(loader.get(), nullptr) != FALSE;
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!written || !closed || progress.refused || pixbuf == nullptr ||
      progress.rowsFilled != std::size_t(gdk_pixbuf_get_height(pixbuf)) || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
      gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB)
    return std::nullopt;
  const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  if (!fitsPixelLimit(width, height) || channels != (gdk_pixbuf_get_has_alpha(pixbuf) ? 4 : 3)) return std::nullopt;
  DecodedPixels pixels{std::uint32_t(width), std::uint32_t(height), std::uint32_t(channels), {}};
  const std::size_t rowBytes = std::size_t(width) * channels;
  pixels.samples.resize(rowBytes * height);
  const guint8* rows = gdk_pixbuf_read_pixels(pixbuf);
  const auto stride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  for (int y = 0; y < height; ++y) std::memcpy(pixels.samples.data() + y * rowBytes, rows + y * stride, rowBytes);
  return pixels;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, tarnwick::decode); }
