#include "support/fakes.h"

#include <vips/vips.h>

namespace tarnwick::testing {

Image smallImage() {
  VIPS_INIT("tarnwick_tests");
  VipsImage* black = nullptr;
  if (vips_black(&black, 4, 3, "bands", 3, nullptr) != 0) throw std::runtime_error("vips_black failed");
  return Image(black);
}

namespace {

std::optional<Image> imageIf(bool succeeds) { return succeeds ? std::optional<Image>(smallImage()) : std::nullopt; }

class FakeImageObject final : public ImageObject {
 public:
  explicit FakeImageObject(FakeRecorder& recorder) : recorder_(recorder) {}
  Size size() const override { return {4, 3}; }
  std::optional<Image> imageForProposedRect(Rect&) override {
    return imageIf(recorder_.succeeds("imageForProposedRect"));
  }
  std::optional<Bytes> tiffRepresentation() override {
    if (!recorder_.succeeds("tiffRepresentation")) return std::nullopt;
    return Bytes{'I', 'I'};
  }

 private:
  FakeRecorder& recorder_;
};

class FakeImageSource final : public ImageSource {
 public:
  explicit FakeImageSource(FakeRecorder& recorder) : recorder_(recorder) {}
  std::optional<Image> imageAtIndex(std::size_t index) override {
    return imageIf(recorder_.succeeds("imageAtIndex", std::to_string(index)));
  }

 private:
  FakeRecorder& recorder_;
};

class FakeContext final : public BitmapContext {
 public:
  explicit FakeContext(FakeRecorder& recorder) : recorder_(recorder) {}
  void setInterpolationQuality(InterpolationQuality) override { recorder_.succeeds("setInterpolationQuality"); }
  void setFillColor(const Color&) override { recorder_.succeeds("setFillColor"); }
  void fillRect(const Rect&) override { recorder_.succeeds("fillRect"); }
  void drawImage(const Image&, const Rect&) override { recorder_.succeeds("drawImage"); }

 private:
  FakeRecorder& recorder_;
};

class FakeHandler final : public ImageRequestHandler {
 public:
  explicit FakeHandler(FakeRecognition& owner) : owner_(owner) {}
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
  if (!succeeds("makeImageObject", path)) return nullptr;
  return std::make_unique<FakeImageObject>(*this);
}

std::optional<Image> FakeDecoding::bitmapImageFromTIFFData(const Bytes&) {
  return imageIf(succeeds("bitmapImageFromTIFFData"));
}

std::unique_ptr<ImageSource> FakeDecoding::makeImageSource(const std::string& path) {
  if (!succeeds("makeImageSource", path)) return nullptr;
  return std::make_unique<FakeImageSource>(*this);
}

// A real buffer whatever the status, so a failing status with a buffer is
// reachable too; "no buffer" drops it.
PixelBufferCreation FakeGraphics::createPixelBuffer(std::int64_t bufferWidth, std::int64_t bufferHeight,
                                                    std::uint32_t format) {
  PixelBufferCreation creation = tarnwick::createPixelBuffer(bufferWidth, bufferHeight, format);
  if (!succeeds("createPixelBuffer")) creation.buffer.reset();
  creation.status = creationStatus;
  return creation;
}

std::unique_ptr<BitmapContext> FakeGraphics::createBitmapContext(std::uint8_t*, std::int64_t, std::int64_t, int,
                                                                 std::size_t, std::uint32_t) {
  if (!succeeds("createBitmapContext")) return nullptr;
  return std::make_unique<FakeContext>(*this);
}

std::unique_ptr<ImageRequestHandler> FakeRecognition::makeImageRequestHandler(const PixelBuffer&, ImageOrientation,
                                                                              const ImageRequestHandlerOptions& options) {
  ++handlersMade;
  lastOptionCount = options.size();
  return std::make_unique<FakeHandler>(*this);
}

}  // namespace tarnwick::testing
