#include "platform/platform.h"

#include "platform/tesseract_recognition.h"
#include "platform/vips_graphics.h"
#include "platform/vips_image_decoding.h"

namespace tarnwick {

Platform& defaultPlatform() {
  static VipsImageDecoding decoding;
  static VipsGraphics graphics;
  static TesseractRecognition recognition;
  static Platform platform{decoding, graphics, recognition};
  return platform;
}

}  // namespace tarnwick
