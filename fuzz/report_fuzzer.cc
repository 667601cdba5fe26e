// Arbitrary recognizer output through line assembly, and arbitrary messages,
// through both JSON writers: every line printed must be one line of JSON
// that a real parser reads back to the same strings.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/unicode.h"
#include "recognition/line_assembly.h"
#include "report/json_report.h"

namespace {

void require(bool holds) {
  if (!holds) std::abort();
}

template <typename Write>
std::string printed(Write write) {
  char* buffer = nullptr;
  std::size_t length = 0;
  std::FILE* sink = open_memstream(&buffer, &length);
  write(sink);
  std::fclose(sink);
  std::string bytes(buffer, length);
  std::free(buffer);
  return bytes;
}

// The printed line, parsed; it must be the fallback line exactly when a
// string was not UTF-8, and otherwise carry every string unchanged.
void checkLine(const std::string& line, const tarnwick::OcrResult& record, const char* fallbackLine) {
  require(!line.empty() && line.find('\n') == line.size() - 1);
  const nlohmann::json json = nlohmann::json::parse(line);
  bool valid = tarnwick::isValidUtf8(record.text) && tarnwick::isValidUtf8(record.provider);
  for (const auto* list : {&record.lines, &record.confidence_notes})
    for (const std::string& value : *list) valid = valid && tarnwick::isValidUtf8(value);
  if (!valid) {
    require(line == std::string(fallbackLine) + "\n");
    return;
  }
  require(json.size() == 4 && json.at("text") == record.text && json.at("lines") == record.lines &&
          json.at("provider") == record.provider && json.at("confidence_notes") == record.confidence_notes);
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
  for (std::size_t i = 0; i < result.lines.size(); ++i) {
    require(!result.lines[i].empty());
    joined += (i > 0 ? "\n" : "") + result.lines[i];
  }
  require(result.text == joined);
  checkLine(printed([&](std::FILE* out) { tarnwick::emitJSON(result, out); }), result, tarnwick::kResultFallbackLine);

  const tarnwick::OcrResult error{.text = "", .lines = {}, .provider = "unavailable", .confidence_notes = {message}};
  checkLine(printed([&](std::FILE* out) { tarnwick::emitError(message, out); }), error, tarnwick::kErrorFallbackLine);
  return 0;
}
