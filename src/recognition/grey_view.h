#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/pixel_buffer.h"

namespace tarnwick {

// The page's grey, with the weights Tesseract gives colour itself, read
// from the locked buffer's memory.
class GreyView {
 public:
  explicit GreyView(const PixelBuffer& page)
      : lock_(page, LockFlags::readOnly), base_(page.baseAddress()), bytesPerRow_(page.bytesPerRow()),
        width_(page.width()), height_(page.height()) {}

  // At a point between pixels; points off the page take the nearest edge.
  float sample(float x, float y) const {
    x = std::clamp(x, 0.0F, static_cast<float>(width_ - 1));
    y = std::clamp(y, 0.0F, static_cast<float>(height_ - 1));
    const int left = static_cast<int>(x), top = static_cast<int>(y);
    const int right = std::min(left + 1, width_ - 1), bottom = std::min(top + 1, height_ - 1);
    const float fx = x - static_cast<float>(left), fy = y - static_cast<float>(top);
    const float upper = grey(left, top) + fx * (grey(right, top) - grey(left, top));
    const float lower = grey(left, bottom) + fx * (grey(right, bottom) - grey(left, bottom));
    return upper + fy * (lower - upper);
  }

 private:
  float grey(int x, int y) const {
    const std::uint8_t* bgra = base_ + static_cast<std::size_t>(y) * bytesPerRow_ + 4 * static_cast<std::size_t>(x);
    return static_cast<float>(51 * bgra[0] + 128 * bgra[1] + 77 * bgra[2]) / 256;
  }

  BaseAddressLock lock_;
  const std::uint8_t* base_;
  std::size_t bytesPerRow_;
  int width_, height_;
};

}  // namespace tarnwick
