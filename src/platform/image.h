#pragma once

#include <memory>

typedef struct _VipsImage VipsImage;

namespace tarnwick {

// A decoded image in its decoder's own format (bands, depth, alpha, colour
// space, ICC profile). It owns one reference to the underlying VipsImage.
class Image {
 public:
  explicit Image(VipsImage* owned);

  VipsImage* vips() const { return vips_.get(); }

 private:
  // Dropped through a pointer the decoder supplies: the system's own code
  // holds images without linking the imaging library.
  using Release = void (*)(VipsImage*);
  std::unique_ptr<VipsImage, Release> vips_;
};

}  // namespace tarnwick
