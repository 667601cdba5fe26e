#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/pixel_buffer.h"

namespace tarnwick {

// A decoded first image as a decoder child hands it back (see
// decoded_pixels.h for the layout of the samples).
struct DecodedPixels {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bands = 0;
  std::vector<std::uint8_t> samples;
};

// Decodes the whole file, known by the sniffed format name, or gives nothing.
// It must refuse, from the header, images beyond the pixel buffer limit.
using DecodeFile = std::function<std::optional<DecodedPixels>(const std::vector<std::uint8_t>& file,
                                                                std::string_view format)>;

// The body of a decoder child's main(). First, before it reads a byte of the
// file, it limits itself: address space, processor time, no file written,
// few descriptors open, no core dump; and it dies with its parent. Then it
// reads the file from standard input (argv[1] names its format), decodes it
// and writes the pixels to standard output. Exit status 0 once all pixels are
// written, 1 on any failure. It ends through _exit, so that no library's exit
// handler can run, hang or print.
[[noreturn]] void runDecoderChild(int argc, char** argv, const DecodeFile& decode);

// Whether rows of this many pixels fit the limits every route keeps.
bool fitsPixelLimit(std::int64_t width, std::int64_t height);

}  // namespace tarnwick
