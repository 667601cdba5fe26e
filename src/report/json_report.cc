#include "report/json_report.h"

#include <array>
#include <cstdio>
#include <optional>
#include <variant>

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

void appendValue(std::string& json, const std::string& value) { appendString(json, value); }

void appendValue(std::string& json, const std::vector<std::string>& values) {
  json += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) json += ',';
    appendString(json, values[i]);
  }
  json += ']';
}

// Appends "key":value and the comma that ends every member.
template <typename Value>
void appendMember(std::string& json, CodingKeys key, const Value& value) {
  json += '"';
  json += stringValue(key);
  json += "\":";
  appendValue(json, value);
  json += ',';
}

// Both records share one layout: compact, keys in ascending order. Nothing
// when a string is not valid UTF-8.
std::optional<std::string> encodeRecord(const OcrResult& record) {
  std::string json = "{";
  appendMember(json, CodingKeys::confidence_notes, record.confidence_notes);
  appendMember(json, CodingKeys::lines, record.lines);
  appendMember(json, CodingKeys::provider, record.provider);
  appendMember(json, CodingKeys::text, record.text);
  json.back() = '}';  // in place of the last member's comma
  if (!isValidUtf8(json)) return std::nullopt;
  return json;
}

std::string lineFor(const OcrResult& result) { return encodeRecord(result).value_or(kResultFallbackLine) + '\n'; }

std::string lineFor(const RecognitionError& error) {
  const OcrResult record{.text = "", .lines = {}, .provider = "unavailable", .confidence_notes = {error.message}};
  return encodeRecord(record).value_or(kErrorFallbackLine) + '\n';
}

}  // namespace

std::string reportLine(const Outcome& outcome) {
  return std::visit([](const auto& record) { return lineFor(record); }, outcome);
}

void emitJSON(const OcrResult& result, std::FILE* out) { std::fputs(lineFor(result).c_str(), out); }

void emitError(const std::string& message, std::FILE* out) {
  std::fputs(lineFor(RecognitionError{message}).c_str(), out);
}

void emitReport(const Outcome& outcome, std::FILE* out) {
  if (const auto* result = std::get_if<OcrResult>(&outcome)) {
    emitJSON(*result, out);
  } else {
    emitError(std::get<RecognitionError>(outcome).message, out);
  }
}

}  // namespace tarnwick
