#include "support/fakes.h"

#include <vips/vips.h>

namespace tarnwick::testing {

Image smallImage(int width, int height) {
  VIPS_INIT("tarnwick_tests");
  VipsImage* black = nullptr;
  if (vips_black(&black, width, height, "bands", 3, nullptr) != 0) throw std::runtime_error("vips_black failed");
  return Image(black);
}

namespace {

class FakeImageObject final : public ImageObject {
 public:
  explicit FakeImageObject(FakeDecoding& owner) : owner_(owner) {}
  Size size() const override { return {4, 3}; }
  std::optional<Image> imageForProposedRect(Rect&) override {
    owner_.calls.emplace_back("imageForProposedRect");
    if (!owner_.proposedRectDecodes) return std::nullopt;
    return smallImage();
  }
  std::optional<Bytes> tiffRepresentation() override {
    owner_.calls.emplace_back("tiffRepresentation");
    if (!owner_.tiffEncodes) return std::nullopt;
    return Bytes{'I', 'I'};
  }

 private:
  FakeDecoding& owner_;
};

class FakeImageSource final : public ImageSource {
 public:
  explicit FakeImageSource(FakeDecoding& owner) : owner_(owner) {}
  std::optional<Image> imageAtIndex(std::size_t index) override {
    owner_.calls.push_back("imageAtIndex " + std::to_string(index));
    if (!owner_.sourceDecodes) return std::nullopt;
    return smallImage();
  }

 private:
  FakeDecoding& owner_;
};

class FakeContext final : public BitmapContext {
 public:
  FakeContext(FakeGraphics& owner) : owner_(owner) {}
  void setInterpolationQuality(InterpolationQuality) override { owner_.calls.emplace_back("setInterpolationQuality"); }
  void setFillColor(const Color&) override { owner_.calls.emplace_back("setFillColor"); }
  void fillRect(const Rect&) override { owner_.calls.emplace_back("fillRect"); }
  void drawImage(const Image&, const Rect&) override { owner_.calls.emplace_back("drawImage"); }

 private:
  FakeGraphics& owner_;
};

class FakeHandler final : public ImageRequestHandler {
 public:
  FakeHandler(FakeRecognition& owner) : owner_(owner) {}
  bool performRequests(const std::vector<TextRecognitionRequest*>& requests,
                       std::optional<PlatformError>& error) override {
    owner_.lastRequestCount = requests.size();
    return owner_.perform(requests, error);
  }

 private:
  FakeRecognition& owner_;
};

}  // namespace

std::unique_ptr<ImageObject> FakeDecoding::makeImageObject(const std::string& path) {
  calls.push_back("makeImageObject " + path);
  if (!imageObjectOpens) return nullptr;
  return std::make_unique<FakeImageObject>(*this);
}

std::optional<Image> FakeDecoding::bitmapImageFromTIFFData(const Bytes&) {
  calls.emplace_back("bitmapImageFromTIFFData");
  if (!tiffDecodes) return std::nullopt;
  return smallImage();
}

std::unique_ptr<ImageSource> FakeDecoding::makeImageSource(const std::string& path) {
  calls.push_back("makeImageSource " + path);
  if (!sourceOpens) return nullptr;
  return std::make_unique<FakeImageSource>(*this);
}

std::int64_t FakeGraphics::imageWidth(const Image&) { return width; }
std::int64_t FakeGraphics::imageHeight(const Image&) { return height; }

PixelBufferCreation FakeGraphics::createPixelBuffer(std::int64_t bufferWidth, std::int64_t bufferHeight,
                                                    std::uint32_t format) {
  calls.emplace_back("createPixelBuffer");
  PixelBufferCreation creation = tarnwick::createPixelBuffer(bufferWidth, bufferHeight, format);
  if (!createsBuffer) creation.buffer.reset();
  creation.status = creationStatus;
  return creation;
}

std::unique_ptr<BitmapContext> FakeGraphics::createBitmapContext(std::uint8_t*, std::int64_t, std::int64_t, int,
                                                                 std::size_t, std::uint32_t) {
  calls.emplace_back("createBitmapContext");
  if (!createsContext) return nullptr;
  return std::make_unique<FakeContext>(*this);
}

std::unique_ptr<ImageRequestHandler> FakeRecognition::makeImageRequestHandler(const PixelBuffer&, ImageOrientation,
                                                                              const ImageRequestHandlerOptions& options) {
  ++handlersMade;
  lastOptionCount = options.size();
  return std::make_unique<FakeHandler>(*this);
}

std::vector<RecognizedText> FakeTextObservation::topCandidates(std::size_t maxCandidateCount) const {
  return {candidates_.begin(), candidates_.begin() + static_cast<std::ptrdiff_t>(std::min(maxCandidateCount, candidates_.size()))};
}

}  // namespace tarnwick::testing
