#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

// 8-bit grey pixels, row after row with no padding.
struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  GreyImage() = default;
  GreyImage(int width, int height, std::uint8_t fill = 255)
      : width(width), height(height), pixels(static_cast<std::size_t>(width) * height, fill) {}

  std::uint8_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  std::uint8_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

}  // namespace tarnwick
