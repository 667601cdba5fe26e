#pragma once

#include <string>

#include "platform/image.h"
#include "platform/image_decoding.h"

namespace tarnwick {

// Decodes the file at `path` (bytes as the caller gave them). Throws
// OcrError::loadFailed naming the path as typed.
Image loadCGImage(const std::string& path, ImageDecoding& decoding);

}  // namespace tarnwick
