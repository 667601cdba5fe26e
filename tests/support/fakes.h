#pragma once

#include <vips/vips.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tarnwick::testing {

// A small real image for fakes to hand around.
inline Image smallImage() {
  VIPS_INIT("tarnwick_tests");
  VipsImage* black = nullptr;
  if (vips_black(&black, 4, 3, "bands", 3, nullptr) != 0) throw std::runtime_error("vips_black failed");
  return Image(black);
}

// Opens everything as an image of 4 x 3 pixels. Records each call as its
// name and arguments ("imageAtIndex 0"), in order, and fails every call
// whose name is in `failing`.
struct FakeDecoding final : ImageDecoding {
  std::set<std::string> failing;
  std::vector<std::string> calls;
  template <typename... Arguments>
  bool succeeds(const std::string& name, const Arguments&... arguments) {
    std::ostringstream call;
    call << name;
    ((call << ' ' << arguments), ...);
    calls.push_back(call.str());
    return failing.count(name) == 0;
  }
  template <typename... Arguments>
  std::optional<Image> image(const std::string& name, const Arguments&... arguments) {
    return succeeds(name, arguments...) ? std::optional(smallImage()) : std::nullopt;
  }

  struct Opened final : ImageObject, ImageSource {
    FakeDecoding& fake;
    explicit Opened(FakeDecoding& decoding) : fake(decoding) {}
    Size size() const override { return {4, 3}; }
    std::optional<Image> imageForProposedRect(Rect& r) override {
      return fake.image("imageForProposedRect", r.x, r.y, r.width, r.height);
    }
    std::optional<Bytes> tiffRepresentation() override {
      return fake.succeeds("tiffRepresentation") ? std::optional(Bytes{'I', 'I'}) : std::nullopt;
    }
    std::optional<Image> imageAtIndex(std::size_t index) override { return fake.image("imageAtIndex", index); }
  };
  std::unique_ptr<ImageObject> makeImageObject(const std::string& path) override {
    return succeeds("makeImageObject", path) ? std::make_unique<Opened>(*this) : nullptr;
  }
  std::optional<Image> bitmapImageFromTIFFData(const Bytes&) override { return image("bitmapImageFromTIFFData"); }
  std::unique_ptr<ImageSource> makeImageSource(const std::string& path) override {
    return succeeds("makeImageSource", path) ? std::make_unique<Opened>(*this) : nullptr;
  }
};

// A recognizer whose perform runs a scripted body against the requests.
class FakeRecognition final : public TextRecognition {
 public:
  using Perform = std::function<bool(const std::vector<TextRecognitionRequest*>&, std::optional<PlatformError>&)>;
  Perform perform = [](const auto&, auto&) { return true; };

  std::unique_ptr<ImageRequestHandler> makeImageRequestHandler(const PixelBuffer&, ImageOrientation,
                                                               const ImageRequestHandlerOptions&) override {
    struct Handler final : ImageRequestHandler {
      Perform perform;
      explicit Handler(Perform script) : perform(std::move(script)) {}
      bool performRequests(const std::vector<TextRecognitionRequest*>& requests,
                           std::optional<PlatformError>& error) override {
        return perform(requests, error);
      }
    };
    return std::make_unique<Handler>(perform);
  }
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
