#pragma once

#include <array>
#include <cstdint>

namespace tarnwick {

// What a decoder child writes on its standard output: this header, then the
// rows top to bottom, `bands` 8-bit samples a pixel (grey, grey and alpha,
// sRGB, or sRGB and straight alpha), no padding. Nothing else is written.
struct DecodedPixelsHeader {
  std::array<char, 4> magic;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t bands;
};

inline constexpr std::array<char, 4> kDecodedPixelsMagic{'T', 'W', 'P', 'X'};

}  // namespace tarnwick
