#pragma once

#include "platform/image.h"
#include "platform/platform.h"
#include "report/ocr_result.h"

namespace tarnwick {

// Renders the image into a BGRA buffer and runs the recognizer over it once.
// Throws the buffer's OcrError::loadFailed unchanged, OcrError::visionFailed
// for any recognizer failure.
OcrResult recognizeText(const Image& image, Platform& platform);

}  // namespace tarnwick
