#pragma once

#include <exception>
#include <string>

#include "platform/platform_error.h"

namespace tarnwick {

// The tool's own error: image intake raises loadFailed, the recognition
// request visionFailed; usage is never raised. The message is the bare detail;
// the entry adds the "load failed: " or "vision failed: " prefix.
class OcrError {
 public:
  enum class Case { loadFailed = 0, visionFailed = 1, usage = 2 };

  static OcrError loadFailed(std::string message) { return OcrError(Case::loadFailed, std::move(message)); }
  static OcrError visionFailed(std::string message) { return OcrError(Case::visionFailed, std::move(message)); }
  static OcrError usage() { return OcrError(Case::usage, {}); }

  Case errorCase() const { return case_; }
  const std::string& message() const { return message_; }

 private:
  OcrError(Case errorCase, std::string message) : case_(errorCase), message_(std::move(message)) {}

  Case case_;
  std::string message_;
};

// Bridging to the platform error object: our error type names the domain, the
// case's position is the code.
PlatformError toPlatformError(const OcrError& error);
// An exception that is not ours has no domain and code 0; its plain
// description is what() says.
PlatformError toPlatformError(const std::exception& error);

// "<domain> code=<code> <localized description>", or the plain description
// when the domain is empty and the code is 0.
std::string describeError(const PlatformError& error);
std::string describeError(const OcrError& error);
// Describes whatever was thrown.
std::string describeError(const std::exception_ptr& error);

}  // namespace tarnwick
