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
  struct Unref {
    void operator()(VipsImage* image) const;
  };
  std::unique_ptr<VipsImage, Unref> vips_;
};

}  // namespace tarnwick
