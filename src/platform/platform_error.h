#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tarnwick {

// The error object every platform service reports failures with: a domain, a
// signed code within it, a sentence for people, and the plain description of
// the error value it was made from.
struct PlatformError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  std::string description;
};

// How the recognizer and the services behind it describe their failures.
inline constexpr const char* kTextRecognitionErrorDomain = "tarnwick.TextRecognition";

enum class TextRecognitionErrorCode : std::int64_t {
  unsupportedLanguage = 1,
  modelUnavailable = 2,
  recognitionFailed = 3,
};

inline PlatformError textRecognitionError(TextRecognitionErrorCode code, std::string localizedDescription) {
  const auto value = static_cast<std::int64_t>(code);
  return PlatformError{
      .domain = kTextRecognitionErrorDomain,
      .code = value,
      .localizedDescription = std::move(localizedDescription),
      .description = std::string(kTextRecognitionErrorDomain) + " error " + std::to_string(value),
  };
}

}  // namespace tarnwick
