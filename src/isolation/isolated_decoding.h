#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/image.h"
#include "platform/image_decoding.h"

namespace tarnwick {

// A format read only in a decoder child: the program that reads it, and the
// name the child knows it by.
struct IsolatedFormat {
  const char* decoder;
  const char* format;
};

// The format the first bytes of a file announce, when it is one of those
// (up to 4 KiB of them are looked at).
std::optional<IsolatedFormat> isolatedFormatOf(std::basic_string_view<std::uint8_t> head);

// Decodes the first image of the open regular file in a child process
// running the decoder, found beside the binary holding this code, under the
// limits of decoder_limits.h, with no environment and standard error going
// nowhere. Nothing when the child fails, is stopped, runs out of time or
// hands back anything but one image within the pixel buffer limit; the child
// is gone when this returns.
std::optional<Image> decodeInChild(const IsolatedFormat& format, int fileDescriptor);

// An image source over a copy of the open regular file's descriptor, whose
// first image is decoded in a child as above.
std::unique_ptr<ImageSource> makeIsolatedImageSource(const IsolatedFormat& format, int fileDescriptor);

}  // namespace tarnwick
