#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace tarnwick::testing {

// A small real image for fakes to hand around.
Image smallImage(int width = 4, int height = 3);

// Decoders whose every step can be told to yield nothing; records the
// calls it receives in order.
class FakeDecoding final : public ImageDecoding {
 public:
  bool imageObjectOpens = true;
  bool proposedRectDecodes = true;
  bool tiffEncodes = true;
  bool tiffDecodes = true;
  bool sourceOpens = true;
  bool sourceDecodes = true;
  std::vector<std::string> calls;

  std::unique_ptr<ImageObject> makeImageObject(const std::string& path) override;
  std::optional<Image> bitmapImageFromTIFFData(const Bytes& tiff) override;
  std::unique_ptr<ImageSource> makeImageSource(const std::string& path) override;
};

// Graphics that report what a test asks for and record the buffer's lock
// state at each step.
class FakeGraphics final : public Graphics {
 public:
  std::int64_t width = 4;
  std::int64_t height = 3;
  std::int32_t creationStatus = kPixelBufferSuccess;
  bool createsBuffer = true;
  bool createsContext = true;
  std::vector<std::string> calls;

  std::int64_t imageWidth(const Image&) override;
  std::int64_t imageHeight(const Image&) override;
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
  std::vector<RecognizedText> topCandidates(std::size_t maxCandidateCount) const override;

 private:
  std::vector<RecognizedText> candidates_;
};

class FakeOtherObservation final : public Observation {};

}  // namespace tarnwick::testing
