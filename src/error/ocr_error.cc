#include "error/ocr_error.h"

namespace tarnwick {
namespace {

constexpr const char* kOcrErrorDomain = "tarnwick.OcrError";

}  // namespace

PlatformError toPlatformError(const OcrError& error) {
  const auto code = static_cast<std::int64_t>(error.errorCase());
  return PlatformError{
      .domain = kOcrErrorDomain,
      .code = code,
      .localizedDescription =
          "The operation couldn't be completed. (" + std::string(kOcrErrorDomain) + " error " + std::to_string(code) + ".)",
      .description = std::string(kOcrErrorDomain) + " error " + std::to_string(code),
  };
}

PlatformError toPlatformError(const std::exception& error) {
  return PlatformError{.domain = "", .code = 0, .localizedDescription = error.what(), .description = error.what()};
}

std::string describeError(const PlatformError& error) {
  if (error.domain.empty() && error.code == 0) return error.description;
  return error.domain + " code=" + std::to_string(error.code) + " " + error.localizedDescription;
}

std::string describeError(const OcrError& error) { return describeError(toPlatformError(error)); }

std::string describeError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const OcrError& ocrError) {
    return describeError(ocrError);
  } catch (const PlatformError& platformError) {
    return describeError(platformError);
  } catch (const std::exception& exception) {
    return describeError(toPlatformError(exception));
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace tarnwick
