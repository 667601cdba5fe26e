#include "recognition/line_assembly.h"

#include <cstdint>

#include "platform/unicode.h"

namespace tarnwick {
namespace {

constexpr float kLowConfidenceThreshold = 0.4F;
constexpr std::size_t kShortLineLimit = 12;  // user-perceived characters

std::string joinedByLineFeeds(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

std::vector<std::string> confidenceNotes(const std::vector<std::string>& lines, std::int64_t lowConfidenceCount) {
  std::vector<std::string> notes{"provider vision_mac", "recognition_languages en-US"};
  if (lines.empty()) {
    notes.emplace_back("no text recognized");
  } else if (lowConfidenceCount > 0) {
    notes.push_back("weak_ocr: " + std::to_string(lowConfidenceCount) + " low-confidence line(s)");
  }
  if (lines.size() == 1 && graphemeClusterCount(lines.front()) < kShortLineLimit) {
    notes.emplace_back("weak_ocr: very short recognition");
  }
  return notes;
}

}  // namespace

OcrResult assembleResult(const std::vector<TextObservation>& observations) {
  std::vector<std::string> lines;
  std::int64_t lowConfidenceCount = 0;
  for (const auto& observation : observations) {
    if (observation.candidates.empty()) continue;
    const TextCandidate& top = observation.candidates.front();
    std::string line = trimWhitespaceAndNewlines(top.string);
    if (line.empty()) continue;
    lines.push_back(std::move(line));
    // NaN compares false, so it is never counted.
    if (top.confidence < kLowConfidenceThreshold) ++lowConfidenceCount;
  }
  std::string text = joinedByLineFeeds(lines);
  auto notes = confidenceNotes(lines, lowConfidenceCount);
  return OcrResult{
      .text = std::move(text), .lines = std::move(lines), .provider = kProvider, .confidence_notes = std::move(notes)};
}

}  // namespace tarnwick
