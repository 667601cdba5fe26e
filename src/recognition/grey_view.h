#pragma once

#include <algorithm>
#include <array>
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

  // At a pixel; pixels off the page take the nearest edge's.
  float at(int x, int y) const { return grey(std::clamp(x, 0, width_ - 1), std::clamp(y, 0, height_ - 1)); }

  // At a point between pixels, by cubic convolution: unlike a straight-line
  // blend it keeps enlarged strokes sharp, so thin letters that stand close
  // ("rl", "il") stay apart. Points off the page take the nearest edge.
  float sample(float x, float y) const {
    x = std::clamp(x, 0.0F, static_cast<float>(width_ - 1));
    y = std::clamp(y, 0.0F, static_cast<float>(height_ - 1));
    const int left = static_cast<int>(x), top = static_cast<int>(y);
    const std::array<float, 4> across = weights(x - static_cast<float>(left));
    const std::array<float, 4> down = weights(y - static_cast<float>(top));
    // The sixteen taps' rows and columns, held on the page once rather than per tap.
    std::array<int, 4> columns{}, rows{};
    for (int tap = 0; tap < 4; ++tap) {
      columns[tap] = std::clamp(left + tap - 1, 0, width_ - 1);
      rows[tap] = std::clamp(top + tap - 1, 0, height_ - 1);
    }
    float sum = 0;
    for (int row = 0; row < 4; ++row) {
      float rowSum = 0;
      for (int column = 0; column < 4; ++column) rowSum += across[column] * grey(columns[column], rows[row]);
      sum += down[row] * rowSum;
    }
    return std::clamp(sum, 0.0F, 255.0F);
  }

 private:
  // Keys' kernel (a = -0.5) at the four pixels around a point a fraction f
  // past the second of them.
  static std::array<float, 4> weights(float f) {
    const float f2 = f * f, f3 = f2 * f;
    return {-0.5F * f3 + f2 - 0.5F * f, 1.5F * f3 - 2.5F * f2 + 1, -1.5F * f3 + 2 * f2 + 0.5F * f, 0.5F * f3 - 0.5F * f2};
  }

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
