#include "imaging/pixel_buffer_preparation.h"

#include "error/ocr_error.h"

namespace tarnwick {
namespace {

constexpr Color kOpaqueWhite{.red = 1.0, .green = 1.0, .blue = 1.0, .alpha = 1.0};

}  // namespace

std::unique_ptr<PixelBuffer> makeBGRAPixelBuffer(const Image& image, Graphics& graphics) {
  const std::int64_t width = graphics.imageWidth(image);
  const std::int64_t height = graphics.imageHeight(image);
  if (width < 1 || height < 1) throw OcrError::loadFailed("empty image dimensions");

  PixelBufferCreation creation = graphics.createPixelBuffer(width, height, kPixelFormat32BGRA);
  if (creation.status != kPixelBufferSuccess || !creation.buffer) {
    throw OcrError::loadFailed("CVPixelBufferCreate failed status=" + std::to_string(creation.status));
  }
  std::unique_ptr<PixelBuffer> buffer = std::move(creation.buffer);
  {
    const BaseAddressLock lock(*buffer, LockFlags::readWrite);
    const std::unique_ptr<BitmapContext> context =
        graphics.createBitmapContext(buffer->baseAddress(), width, height, 8, buffer->bytesPerRow(),
                                     kBitmapInfoPremultipliedFirst32Little);
    if (!context) throw OcrError::loadFailed("CGContext for pixel buffer failed");
    context->setInterpolationQuality(InterpolationQuality::high);
    context->setFillColor(kOpaqueWhite);
    const Rect wholeImage{.x = 0, .y = 0, .width = static_cast<double>(width), .height = static_cast<double>(height)};
    context->fillRect(wholeImage);
    // Pixels that fail to decode as they are drawn, a file changed since it
    // was checked among them, would leave part of the page blank.
    if (!context->drawImage(image, wholeImage)) throw OcrError::loadFailed("CGContextDrawImage failed");
  }
  return buffer;
}

}  // namespace tarnwick
