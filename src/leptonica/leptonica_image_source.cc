#include "leptonica/leptonica_image_source.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <leptonica/allheaders.h>
#include <vips/vips.h>

#include "platform/pixel_buffer.h"

namespace tarnwick {
namespace {

struct PixDestroy {
  void operator()(PIX* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<PIX, PixDestroy>;

// Leptonica decodes every frame of a GIF, even to report its size, so the
// frames are measured from their image descriptors first. Gives the pixels of
// all frames together, or nothing when the block structure is broken.
std::optional<std::int64_t> gifFramePixels(const Bytes& gif) {
  constexpr std::size_t kScreenDescriptorEnd = 13;
  if (gif.size() < kScreenDescriptorEnd) return std::nullopt;
  const auto colourTableBytes = [](std::uint8_t flags) -> std::size_t {
    return (flags & 0x80) != 0 ? std::size_t{3} << ((flags & 0x07) + 1) : 0;
  };
  std::size_t at = kScreenDescriptorEnd + colourTableBytes(gif[10]);
  const auto skipSubBlocks = [&gif, &at] {
    while (at < gif.size() && gif[at] != 0) at += std::size_t{gif[at]} + 1;
    ++at;
  };
  std::int64_t pixels = 0;
  while (at < gif.size()) {
    switch (gif[at]) {
      case 0x21:  // extension: introducer, label, sub-blocks
        at += 2;
        skipSubBlocks();
        break;
      case 0x2C: {  // image: descriptor, local colour table, LZW code size, sub-blocks
        constexpr std::size_t kImageDescriptorBytes = 10;
        if (gif.size() - at < kImageDescriptorBytes) return pixels;
        const int width = gif[at + 5] | gif[at + 6] << 8;
        const int height = gif[at + 7] | gif[at + 8] << 8;
        pixels += std::int64_t{width} * height;
        at += kImageDescriptorBytes + colourTableBytes(gif[at + 9]) + 1;
        skipSubBlocks();
        break;
      }
      case 0x3B:  // trailer
        return pixels;
      default:
        return std::nullopt;
    }
  }
  return pixels;
}

// Leptonica keeps 1, 2 and 4 bpp and colormapped images packed; libvips
// takes 8-bit grey, 16-bit grey and 8-bit RGB(A), so the others are widened.
// 1 bpp ink is 1, and comes out black (0) on white (255).
PixPtr widened(PIX* pix) {
  if (PIXCMAP* colormap = pixGetColormap(pix)) {
    l_int32 opaque = 1;
    pixcmapIsOpaque(colormap, &opaque);
    return PixPtr(pixRemoveColormap(pix, opaque != 0 ? REMOVE_CMAP_TO_FULL_COLOR : REMOVE_CMAP_WITH_ALPHA));
  }
  if (pixGetDepth(pix) < 8) return PixPtr(pixConvertTo8(pix, 0));
  return PixPtr(pixClone(pix));
}

// Leptonica stores samples big-endian within 32-bit words; its accessors
// undo that.
void unpackRow(const l_uint32* line, int width, int depth, int bands, std::uint8_t* row) {
  for (int x = 0; x < width; ++x) {
    if (depth == 8) {
      row[x] = static_cast<std::uint8_t>(GET_DATA_BYTE(line, x));
    } else if (depth == 16) {
      const auto sample = static_cast<std::uint16_t>(GET_DATA_TWO_BYTES(line, x));
      std::memcpy(row + 2 * x, &sample, sizeof sample);
    } else {
      l_int32 red = 0, green = 0, blue = 0, alpha = 0;
      extractRGBAValues(line[x], &red, &green, &blue, &alpha);
      const std::uint8_t rgba[] = {std::uint8_t(red), std::uint8_t(green), std::uint8_t(blue), std::uint8_t(alpha)};
      std::memcpy(row + std::size_t(bands) * x, rgba, std::size_t(bands));
    }
  }
}

std::optional<Image> imageFromPix(PIX* decoded) {
  const PixPtr pix(widened(decoded));
  if (!pix) return std::nullopt;
  const l_int32 width = pixGetWidth(pix.get()), height = pixGetHeight(pix.get()), depth = pixGetDepth(pix.get());
  if (depth != 8 && depth != 16 && depth != 32) return std::nullopt;
  const int bands = depth != 32 ? 1 : pixGetSpp(pix.get()) == 4 ? 4 : 3;
  const VipsInterpretation interpretation = depth == 32   ? VIPS_INTERPRETATION_sRGB
                                            : depth == 16 ? VIPS_INTERPRETATION_GREY16
                                                          : VIPS_INTERPRETATION_B_W;
  Image image(vips_image_new_memory());
  vips_image_init_fields(image.vips(), width, height, bands, depth == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR,
                         VIPS_CODING_NONE, interpretation, 1.0, 1.0);
  std::vector<std::uint8_t> row(VIPS_IMAGE_SIZEOF_LINE(image.vips()));
  const l_uint32* data = pixGetData(pix.get());
  const auto wordsPerLine = static_cast<std::size_t>(pixGetWpl(pix.get()));
  for (int y = 0; y < height; ++y) {
    unpackRow(data + y * wordsPerLine, width, depth, bands, row.data());
    if (vips_image_write_line(image.vips(), y, row.data()) != 0) return std::nullopt;
  }
  return image;
}

class LeptonicaImageSource final : public ImageSource {
 public:
  explicit LeptonicaImageSource(Bytes file) : file_(std::move(file)) {}

  // Only the first image is read (Leptonica gives page 0 of a TIFF and the
  // first frame of a GIF), and orientation tags are not applied.
  std::optional<Image> imageAtIndex(std::size_t index) override {
    // Leptonica tells formats apart by their first 12 bytes, reading them
    // whatever the size it is given, and decodes nothing shorter.
    constexpr std::size_t kFormatSniffBytes = 12;
    if (index != 0 || file_.size() < kFormatSniffBytes) return std::nullopt;
    l_int32 format = IFF_UNKNOWN;
    findFileFormatBuffer(file_.data(), &format);
    if (format == IFF_GIF) {
      const std::optional<std::int64_t> pixels = gifFramePixels(file_);
      if (!pixels || *pixels > kMaxPixelBufferPixels) return std::nullopt;
    }
    l_int32 width = 0, height = 0;
    if (pixReadHeaderMem(file_.data(), file_.size(), nullptr, &width, &height, nullptr, nullptr, nullptr) != 0 ||
        exceedsPixelBufferLimit(width, height))
      return std::nullopt;
    const PixPtr pix(pixReadMem(file_.data(), file_.size()));
    if (!pix) return std::nullopt;
    return imageFromPix(pix.get());
  }

 private:
  Bytes file_;
};

}  // namespace

std::unique_ptr<ImageSource> makeLeptonicaImageSource(Bytes file) {
  return std::make_unique<LeptonicaImageSource>(std::move(file));
}

}  // namespace tarnwick
