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

  // The four pixels, along one axis, that a point between pixels is blended
  // from, and their weights.
  struct Taps {
    std::array<int, 4> at;
    std::array<float, 4> weights;
  };
  Taps tapsAcross(float x) const { return taps(x, width_); }
  Taps tapsDown(float y) const { return taps(y, height_); }

  // A row's pixels at the taps across blended: one row's share of a sample.
  float blendedRow(int y, const Taps& across) const {
    float sum = 0;
    for (int tap = 0; tap < 4; ++tap) sum += across.weights[tap] * grey(across.at[tap], y);
    return sum;
  }

  // The blended rows at the taps down blended in turn, clamped to greys.
  template <typename BlendedRow>
  static float blendedDown(const Taps& down, BlendedRow&& blendedRowAt) {
    float sum = 0;
    for (int tap = 0; tap < 4; ++tap) sum += down.weights[tap] * blendedRowAt(down.at[tap]);
    return std::clamp(sum, 0.0F, 255.0F);
  }

  // At a point between pixels, by cubic convolution: unlike a straight-line
  // blend it keeps enlarged strokes sharp, so thin letters that stand close
  // ("rl", "il") stay apart. Points off the page take the nearest edge.
  float sample(float x, float y) const {
    const Taps across = tapsAcross(x);
    return blendedDown(tapsDown(y), [&](int row) { return blendedRow(row, across); });
  }

 private:
  // The point clamped to the page, the pixels around it held on the page.
  static Taps taps(float point, int size) {
    point = std::clamp(point, 0.0F, static_cast<float>(size - 1));
    const int before = static_cast<int>(point);
    Taps found{.at = {}, .weights = weights(point - static_cast<float>(before))};
    for (int tap = 0; tap < 4; ++tap) found.at[tap] = std::clamp(before + tap - 1, 0, size - 1);
    return found;
  }

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
