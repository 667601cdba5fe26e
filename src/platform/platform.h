#pragma once

#include "platform/graphics.h"
#include "platform/image_decoding.h"
#include "platform/text_recognition.h"

namespace tarnwick {

// The platform services the system runs on. Tests build one from fakes.
struct Platform {
  ImageDecoding& decoding;
  Graphics& graphics;
  TextRecognition& recognition;
};

// The library-backed services: libvips and Leptonica for images, Tesseract
// for text. Made on first use and kept for the life of the process; throws
// std::runtime_error when the imaging module cannot be loaded.
Platform& defaultPlatform();

}  // namespace tarnwick
