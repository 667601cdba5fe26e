#include "imaging/load_image.h"

#include "error/ocr_error.h"
#include "platform/file_system.h"
#include "platform/unicode.h"

namespace tarnwick {
namespace {

// The path as typed, made safe to print: bytes that are not UTF-8 become
// U+FFFD so the report stays valid UTF-8.
OcrError loadFailure(const char* prefix, const std::string& path) {
  return OcrError::loadFailed(prefix + replacingInvalidUtf8(path));
}

// Route 1, the main decoder's image, and route 2, the same image re-decoded
// through its TIFF encoding.
std::optional<Image> decodeThroughImageObject(const std::string& workingPath, ImageDecoding& decoding) {
  const std::unique_ptr<ImageObject> imageObject = decoding.makeImageObject(workingPath);
  if (!imageObject) return std::nullopt;
  const Size size = imageObject->size();
  Rect proposedRect{.x = 0, .y = 0, .width = size.width, .height = size.height};
  if (auto image = imageObject->imageForProposedRect(proposedRect)) return image;
  const std::optional<Bytes> tiff = imageObject->tiffRepresentation();
  if (!tiff) return std::nullopt;
  return decoding.bitmapImageFromTIFFData(*tiff);
}

}  // namespace

Image loadCGImage(const std::string& path, ImageDecoding& decoding) {
  const std::string workingPath = standardizedPath(path);
  if (!isReadableFile(workingPath)) throw loadFailure("not readable: ", path);
  if (auto image = decodeThroughImageObject(workingPath, decoding)) return std::move(*image);
  // Route 3, an independent decoder reading the file's first image.
  const std::unique_ptr<ImageSource> source = decoding.makeImageSource(workingPath);
  if (!source) throw loadFailure("CGImageSource failed: ", path);
  std::optional<Image> image = source->imageAtIndex(0);
  if (!image) throw loadFailure("no image at index 0: ", path);
  return std::move(*image);
}

}  // namespace tarnwick
