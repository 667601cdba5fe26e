#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tarnwick::testing {

// A small real image for fakes to hand around.
Image smallImage();

// Platform services that record each call (its name, then any detail such as
// the path), in order, and yield nothing from every call named in `failing`.
struct FakeRecorder {
  std::set<std::string> failing;
  std::vector<std::string> calls;
  bool succeeds(const std::string& name, const std::string& detail = "") {
    calls.push_back(detail.empty() ? name : name + " " + detail);
    return failing.count(name) == 0;
  }
};

class FakeDecoding final : public ImageDecoding, public FakeRecorder {
 public:
  std::unique_ptr<ImageObject> makeImageObject(const std::string& path) override;
  std::optional<Image> bitmapImageFromTIFFData(const Bytes& tiff) override;
  std::unique_ptr<ImageSource> makeImageSource(const std::string& path) override;
};

class FakeGraphics final : public Graphics, public FakeRecorder {
 public:
  std::int64_t width = 4;
  std::int64_t height = 3;
  std::int32_t creationStatus = kPixelBufferSuccess;

  std::int64_t imageWidth(const Image&) override { return width; }
  std::int64_t imageHeight(const Image&) override { return height; }
  PixelBufferCreation createPixelBuffer(std::int64_t width, std::int64_t height, std::uint32_t format) override;
  std::unique_ptr<BitmapContext> createBitmapContext(std::uint8_t* memory, std::int64_t width, std::int64_t height,
                                                     int bitsPerComponent, std::size_t bytesPerRow,
                                                     std::uint32_t bitmapInfo) override;
};

// A recognizer whose perform runs a scripted body against the requests.
class FakeRecognition final : public TextRecognition {
 public:
  using Perform = std::function<bool(const std::vector<TextRecognitionRequest*>&, std::optional<PlatformError>&)>;
  Perform perform = [](const auto&, auto&) { return true; };
  int handlersMade = 0;
  std::size_t lastRequestCount = 0;
  std::size_t lastOptionCount = 0;

  std::unique_ptr<ImageRequestHandler> makeImageRequestHandler(const PixelBuffer& buffer, ImageOrientation orientation,
                                                               const ImageRequestHandlerOptions& options) override;
};

class FakeTextObservation final : public RecognizedTextObservation {
 public:
  explicit FakeTextObservation(std::vector<RecognizedText> candidates) : candidates_(std::move(candidates)) {}
  std::vector<RecognizedText> topCandidates(std::size_t maxCandidateCount) const override {
    return {candidates_.begin(), candidates_.begin() + std::min(maxCandidateCount, candidates_.size())};
  }

 private:
  std::vector<RecognizedText> candidates_;
};

class FakeOtherObservation final : public Observation {};

}  // namespace tarnwick::testing
