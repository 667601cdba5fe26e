#pragma once

#include <cstdio>
#include <string>

#include "report/ocr_result.h"

namespace tarnwick {

inline constexpr const char* kResultFallbackLine =
    R"({"text":"","lines":[],"provider":"vision_mac","confidence_notes":["json encode failed"]})";
inline constexpr const char* kErrorFallbackLine =
    R"({"text":"","lines":[],"provider":"unavailable","confidence_notes":["error"]})";

// Print exactly one line: the record as compact JSON with sorted keys, or its
// fixed fallback line when a string is not valid UTF-8.
void emitJSON(const OcrResult& result, std::FILE* out = stdout);
void emitError(const std::string& message, std::FILE* out = stdout);
// emitJSON for a result, emitError for a failure.
void emitReport(const Outcome& outcome, std::FILE* out = stdout);

}  // namespace tarnwick
