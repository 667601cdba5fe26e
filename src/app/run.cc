#include "app/run.h"

#include "error/ocr_error.h"
#include "app/run_deadline.h"
#include "imaging/load_image.h"
#include "recognition/recognize_text.h"
#include "report/json_report.h"

namespace tarnwick {
namespace {

// The one message of a failed run: our own errors carry a prefix by case,
// anything else is described as it stands.
std::string failureMessage(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const OcrError& ocrError) {
    switch (ocrError.errorCase()) {
      case OcrError::Case::loadFailed: return "load failed: " + ocrError.message();
      case OcrError::Case::visionFailed: return "vision failed: " + ocrError.message();
      case OcrError::Case::usage: return describeError(ocrError);
    }
  } catch (...) {
  }
  return describeError(error);
}

}  // namespace

Outcome recognizeImageAt(const std::string& path, const std::function<Platform&()>& platform) {
  try {
    Platform& services = platform();
    return recognizeText(loadCGImage(path, services.decoding), services);
  } catch (...) {
    return RecognitionError{failureMessage(std::current_exception())};
  }
}

int runTarnwick(const std::vector<std::string>& arguments, const std::function<Platform&()>& platform,
                std::FILE* out, std::FILE* err) {
  if (arguments.size() < 2) {
    std::fputs(kUsageMessage, err);
    std::fputc('\n', err);
    emitError(kUsageMessage, out);
    return 2;
  }
  const Outcome outcome = [&] {
    const RunDeadline deadline(
        kRunDeadline,
        reportLine(RecognitionError{"vision failed: no result within " + std::to_string(kRunDeadline.count()) +
                                    " seconds"}),
        out);
    return recognizeImageAt(arguments[1], platform);
  }();
  emitReport(outcome, out);
  return 0;
}

}  // namespace tarnwick
