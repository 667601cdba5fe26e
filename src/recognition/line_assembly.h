#pragma once

#include <string>
#include <vector>

#include "report/ocr_result.h"

namespace tarnwick {

struct TextCandidate {
  std::string string;
  float confidence = 0;
};

struct TextObservation {
  std::vector<TextCandidate> candidates;  // best first; only the first is used
};

inline constexpr const char* kProvider = "vision_mac";

// Trimmed lines in observation order, their text joined by line feeds, and
// the confidence notes.
OcrResult assembleResult(const std::vector<TextObservation>& observations);

}  // namespace tarnwick
