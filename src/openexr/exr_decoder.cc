// The decoder child for OpenEXR: the first part, through OpenEXR's own
// readers, tone left alone and linear light encoded as 8-bit sRGB.
#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfThreading.h>
#include <OpenEXR/openexr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

using Bytes = std::vector<std::uint8_t>;

// No side longer than this, and no more chunks (lines or tiles, which the
// reader keeps a table of) than this.
constexpr int kMaxSide = 1 << 16;
constexpr std::int32_t kMaxChunks = 1 << 20;

class MemoryStream final : public Imf::IStream {
 public:
  explicit MemoryStream(const Bytes& file) : Imf::IStream("file"), file_(file) {}
  bool read(char c[], int n) override {
    if (n < 0 || position_ > file_.size() || file_.size() - position_ < std::uint64_t(n))
      throw std::runtime_error("cut short");
    std::memcpy(c, file_.data() + position_, std::size_t(n));
    position_ += std::uint64_t(n);
    return position_ < file_.size();
  }
  std::uint64_t tellg() override { return position_; }
  void seekg(std::uint64_t position) override { position_ = position; }

 private:
  const Bytes& file_;
  std::uint64_t position_ = 0;
};

// The header, read by OpenEXR's core library, which reads nothing else until
// asked: the first part's size and chunk count, before the full reader
// allocates its tables and pixels.
bool headerFits(const Bytes& file) {
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.user_data = const_cast<Bytes*>(&file);
  init.error_handler_fn = [](exr_const_context_t, exr_result_t, const char*) {};
  init.size_fn = [](exr_const_context_t, void* bytes) { return std::int64_t(static_cast<Bytes*>(bytes)->size()); };
  init.read_fn = [](exr_const_context_t, void* data, void* buffer, std::uint64_t size, std::uint64_t offset,
                    exr_stream_error_func_ptr_t) -> std::int64_t {
    const Bytes& bytes = *static_cast<Bytes*>(data);
    if (offset >= bytes.size()) return 0;
    const std::uint64_t count = std::min<std::uint64_t>(size, bytes.size() - offset);
    std::memcpy(buffer, bytes.data() + offset, count);
    return std::int64_t(count);
  };
  init.max_image_width = init.max_image_height = kMaxSide;
  init.max_tile_width = init.max_tile_height = kMaxSide;
  exr_context_t context = nullptr;
  if (exr_start_read(&context, "file", &init) != EXR_ERR_SUCCESS) {
    exr_finish(&context);
    return false;
  }
  exr_attr_box2i_t window{};
  std::int32_t chunks = 0;
  const bool read =
      exr_get_data_window(context, 0, &window) == EXR_ERR_SUCCESS && exr_get_chunk_count(context, 0, &chunks) == 0;
  exr_finish(&context);
  return read && chunks > 0 && chunks <= kMaxChunks &&
         fitsPixelLimit(std::int64_t(window.max.x) - window.min.x + 1, std::int64_t(window.max.y) - window.min.y + 1);
}

std::uint8_t encoded(float linear) {
  if (!(linear > 0)) return 0;
  if (linear >= 1) return 255;
  const float srgb = linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1 / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::lround(srgb * 255));
}

std::optional<DecodedPixels> decode(const Bytes& file, std::string_view format) {
  if (format != "exr" || !headerFits(file)) return std::nullopt;
  MemoryStream stream(file);
  Imf::RgbaInputFile input(stream, 0);
  const Imath::Box2i window = input.dataWindow();
  const std::int64_t width = std::int64_t(window.max.x) - window.min.x + 1;
  const std::int64_t height = std::int64_t(window.max.y) - window.min.y + 1;
  if (!fitsPixelLimit(width, height)) return std::nullopt;
  Imf::Array2D<Imf::Rgba> rgba(height, width);
  input.setFrameBuffer(&rgba[0][0] - window.min.x - window.min.y * width, 1, std::size_t(width));
  input.readPixels(window.min.y, window.max.y);
  DecodedPixels pixels{std::uint32_t(width), std::uint32_t(height), 4, {}};
  pixels.samples.resize(std::size_t(width) * std::size_t(height) * 4);
  std::uint8_t* out = pixels.samples.data();
  for (std::int64_t y = 0; y < height; ++y)
    for (std::int64_t x = 0; x < width; ++x, out += 4) {
      const Imf::Rgba& pixel = rgba[y][x];
      // Colour is stored premultiplied by alpha.
      const float alpha = std::clamp(float(pixel.a), 0.0f, 1.0f);
      const float unmultiply = alpha > 0 ? 1 / alpha : 0;
      out[0] = encoded(float(pixel.r) * unmultiply);
      out[1] = encoded(float(pixel.g) * unmultiply);
      out[2] = encoded(float(pixel.b) * unmultiply);
      out[3] = static_cast<std::uint8_t>(std::lround(alpha * 255));
    }
  return pixels;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
  Imf::setGlobalThreadCount(0);
  Imf::Header::setMaxImageSize(tarnwick::kMaxSide, tarnwick::kMaxSide);
  Imf::Header::setMaxTileSize(tarnwick::kMaxSide, tarnwick::kMaxSide);
  tarnwick::runDecoderChild(argc, argv, tarnwick::decode);
}
