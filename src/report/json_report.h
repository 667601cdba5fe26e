#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "report/ocr_result.h"

namespace tarnwick {

inline constexpr const char* kResultFallbackLine =
    R"({"text":"","lines":[],"provider":"vision_mac","confidence_notes":["json encode failed"]})";
inline constexpr const char* kErrorFallbackLine =
    R"({"text":"","lines":[],"provider":"unavailable","confidence_notes":["error"]})";

// The compact JSON object with sorted keys, or nothing when a string is not
// valid UTF-8.
std::optional<std::string> encodeResult(const OcrResult& result);
std::optional<std::string> encodeErrorRecord(const std::string& message);

// Print exactly one line (reportLine): the record, or its fixed fallback line.
void emitJSON(const OcrResult& result, std::FILE* out = stdout);
void emitError(const std::string& message, std::FILE* out = stdout);
// emitJSON for a result, emitError for a failure.
void emitReport(const Outcome& outcome, std::FILE* out = stdout);

}  // namespace tarnwick
