#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics.h"
#include "platform/image.h"

namespace tarnwick {

struct Size {
  double width = 0;
  double height = 0;
};

using Bytes = std::vector<std::uint8_t>;

// An image file opened by the main decoder: the header is read, the pixels
// are decoded on request.
class ImageObject {
 public:
  virtual ~ImageObject() = default;
  virtual Size size() const = 0;
  // The first page or frame, upright, at its full pixel size; nothing when
  // the pixels cannot be decoded. The rectangle may be adjusted in place.
  virtual std::optional<Image> imageForProposedRect(Rect& proposedRect) = 0;
  // The image encoded as TIFF in memory, or nothing.
  virtual std::optional<Bytes> tiffRepresentation() = 0;
};

// An independent decoder over a file, reading images by index.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual std::optional<Image> imageAtIndex(std::size_t index) = 0;
};

// The decoders behind image loading. Every operation reports failure by
// returning nothing.
class ImageDecoding {
 public:
  virtual ~ImageDecoding() = default;
  virtual std::unique_ptr<ImageObject> makeImageObject(const std::string& path) = 0;
  // Decodes TIFF bytes into a bitmap and gives its image.
  virtual std::optional<Image> bitmapImageFromTIFFData(const Bytes& tiff) = 0;
  virtual std::unique_ptr<ImageSource> makeImageSource(const std::string& path) = 0;
};

}  // namespace tarnwick
