// Arbitrary recognizer output through line assembly, and arbitrary messages,
// through the report line: every line must be one line of JSON that a real
// parser reads back to the same strings, or the fixed fallback line exactly
// when a string was not UTF-8.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "recognition/line_assembly.h"
#include "report/json_report.h"

namespace {

bool lineHolds(const tarnwick::Outcome& outcome, const tarnwick::OcrResult& record, const char* fallbackLine) {
  const std::string line = tarnwick::reportLine(outcome);
  bool valid = tarnwick::isValidUtf8(record.text) && tarnwick::isValidUtf8(record.provider);
  for (const auto* list : {&record.lines, &record.confidence_notes})
    for (const std::string& value : *list) valid = valid && tarnwick::isValidUtf8(value);
  if (line.empty() || line.find('\n') != line.size() - 1 || !valid) return line == std::string(fallbackLine) + "\n";
  const nlohmann::json json = nlohmann::json::parse(line);
  return json.size() == 4 && json.at("text") == record.text && json.at("lines") == record.lines &&
         json.at("provider") == record.provider && json.at("confidence_notes") == record.confidence_notes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<tarnwick::TextObservation> observations(input.ConsumeIntegralInRange<std::size_t>(0, 8));
  for (auto& observation : observations) {
    observation.candidates.resize(input.ConsumeIntegralInRange<std::size_t>(0, 2));
    for (auto& candidate : observation.candidates)
      candidate = {input.ConsumeRandomLengthString(64), input.ConsumeFloatingPoint<float>()};
  }
  const std::string message = input.ConsumeRemainingBytesAsString();
  const tarnwick::OcrResult result = tarnwick::assembleResult(observations);
  std::string joined;
  for (const std::string& line : result.lines) joined += (joined.empty() ? "" : "\n") + line;
  if (std::count(result.lines.begin(), result.lines.end(), "") != 0 || result.text != joined ||
      !lineHolds(result, result, tarnwick::kResultFallbackLine) ||
      !lineHolds(tarnwick::RecognitionError{message}, {"", {}, "unavailable", {message}}, tarnwick::kErrorFallbackLine))
    std::abort();
  return 0;
}
