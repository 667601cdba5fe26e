#include "report/json_report.h"

#include <array>
#include <cstdio>

#include "platform/unicode.h"

namespace tarnwick {
namespace {

// Appends a JSON string: quotation mark, reverse solidus and solidus escaped,
// line feed as \n, other control characters as \u00XX, everything else as
// its raw UTF-8 bytes.
void appendString(std::string& json, const std::string& value) {
  json += '"';
  for (const char c : value) {
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '/': json += "\\/"; break;
      case '\n': json += "\\n"; break;
      case '\r': json += "\\r"; break;
      case '\t': json += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          std::array<char, 7> escape{};
          std::snprintf(escape.data(), escape.size(), "\\u%04x", static_cast<unsigned>(c));
          json += escape.data();
        } else {
          json += c;
        }
    }
  }
  json += '"';
}

void appendStringList(std::string& json, const std::vector<std::string>& values) {
  json += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) json += ',';
    appendString(json, values[i]);
  }
  json += ']';
}

void appendKey(std::string& json, CodingKeys key) {
  json += '"';
  json += stringValue(key);
  json += "\":";
}

// Both records share one layout: compact, keys in ascending order.
std::optional<std::string> encodeRecord(const OcrResult& record) {
  std::string json = "{";
  appendKey(json, CodingKeys::confidence_notes);
  appendStringList(json, record.confidence_notes);
  json += ',';
  appendKey(json, CodingKeys::lines);
  appendStringList(json, record.lines);
  json += ',';
  appendKey(json, CodingKeys::provider);
  appendString(json, record.provider);
  json += ',';
  appendKey(json, CodingKeys::text);
  appendString(json, record.text);
  json += '}';
  if (!isValidUtf8(json)) return std::nullopt;
  return json;
}

}  // namespace

std::optional<std::string> encodeResult(const OcrResult& result) { return encodeRecord(result); }

std::optional<std::string> encodeErrorRecord(const std::string& message) {
  return encodeRecord(OcrResult{.text = "", .lines = {}, .provider = "unavailable", .confidence_notes = {message}});
}

std::string reportLine(const Outcome& outcome) {
  const auto* result = std::get_if<OcrResult>(&outcome);
  std::string line = result != nullptr
                         ? encodeResult(*result).value_or(kResultFallbackLine)
                         : encodeErrorRecord(std::get<RecognitionError>(outcome).message).value_or(kErrorFallbackLine);
  line += '\n';
  return line;
}

void emitJSON(const OcrResult& result, std::FILE* out) { std::fputs(reportLine(result).c_str(), out); }

void emitError(const std::string& message, std::FILE* out) {
  std::fputs(reportLine(RecognitionError{message}).c_str(), out);
}

void emitReport(const Outcome& outcome, std::FILE* out) {
  if (const auto* result = std::get_if<OcrResult>(&outcome)) {
    emitJSON(*result, out);
  } else {
    emitError(std::get<RecognitionError>(outcome).message, out);
  }
}

}  // namespace tarnwick
