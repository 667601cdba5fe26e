#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct OcrResult {
  std::string text;
  std::vector<std::string> lines;
  std::string provider;
  std::vector<std::string> confidence_notes;
};

// The record's keys, in field order.
enum class CodingKeys { text, lines, provider, confidence_notes };

std::string_view stringValue(CodingKeys key);

}  // namespace tarnwick
