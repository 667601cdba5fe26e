#pragma once

#include "platform/graphics.h"
#include "platform/image_decoding.h"

namespace tarnwick {

// The libvips-backed decoding and drawing. They live in a module of their
// own, tarnwick-imaging.so (src/vips/ and src/leptonica/), loaded on first
// use: libvips brings some fifty shared libraries, and loading them with the
// program would hold back the start of the recognizer's model load by as
// long. Loaded after the model load has started, they load on the other core
// while it runs.
struct ImagingServices {
  ImageDecoding& decoding;
  Graphics& graphics;
};

// The name of the function the module exports: it initialises libvips and
// returns the module's services, which live until the process exits.
inline constexpr const char* kImagingServicesEntry = "tarnwick_imaging_services";
using ImagingServicesEntry = ImagingServices* (*)();

}  // namespace tarnwick
