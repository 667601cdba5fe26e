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

}  // namespace tarnwick
