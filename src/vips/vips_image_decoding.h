#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/image_decoding.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {

// Image sources read the whole file into memory before Leptonica sees it; a
// file beyond this size is refused unread. No scan or photo worth reading
// comes near it.
inline constexpr std::int64_t kMaxImageSourceFileBytes = std::int64_t{256} * 1024 * 1024;

// The most an image may take once decoded, whatever its bands and sample
// size: 8 bytes a pixel at the pixel buffer limit (16-bit RGBA). Many bands
// or wide samples multiply what a small, well-compressed file unpacks to.
inline constexpr std::uint64_t kMaxDecodedImageBytes = std::uint64_t{kMaxPixelBufferPixels} * 8;

// Beyond this size an image object's pixels are decoded twice rather than
// held: once to see that the whole file decodes, and again while they are
// drawn. Held, they would sit beside a pixel buffer larger still (a 600 dpi
// A4 colour scan: 104 MB decoded, 139 MB drawn); a second decode costs a
// fraction of a second on such a page.
inline constexpr std::uint64_t kStreamedDecodeBytes = std::uint64_t{64} * 1024 * 1024;

// libvips behind image objects and TIFF data; behind image sources, a
// decoder child for the formats isolation/ tells by their first bytes, and
// Leptonica for every other file.
//
// Only regular files are read, and only through the descriptor whose type was
// checked, so a FIFO, a device or a directory gives nothing at once instead
// of blocking or streaming forever, and the file cannot be swapped between
// the check and the read.
//
// Decoding is bounded by kMaxPixelBufferPixels: an image object whose first
// page has more pixels hands back its image undecoded (the pixel buffer will
// refuse it), TIFF data that large gives nothing, and an image source refuses
// it from the header (a decoder child, from the header it reads). For a GIF, which Leptonica decodes frame by frame in
// full, the bound is on the pixels of all its frames together. libvips
// decodes nothing beyond kMaxDecodedImageBytes either.
class VipsImageDecoding final : public ImageDecoding {
 public:
  explicit VipsImageDecoding(std::uint64_t streamedDecodeBytes = kStreamedDecodeBytes)
      : streamedDecodeBytes_(streamedDecodeBytes) {}

  std::unique_ptr<ImageObject> makeImageObject(const std::string& path) override;
  std::optional<Image> bitmapImageFromTIFFData(const Bytes& tiff) override;
  std::unique_ptr<ImageSource> makeImageSource(const std::string& path) override;

 private:
  std::uint64_t streamedDecodeBytes_;
};

}  // namespace tarnwick
