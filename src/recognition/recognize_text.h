#pragma once

#include "platform/image.h"
#include "platform/platform.h"
#include "report/ocr_result.h"

namespace tarnwick {

// Renders the image into a BGRA buffer, lets the image go, and runs the
// recognizer over the buffer once. Throws the buffer's OcrError::loadFailed
// unchanged, OcrError::visionFailed for any recognizer failure.
OcrResult recognizeText(Image image, Platform& platform);

}  // namespace tarnwick
