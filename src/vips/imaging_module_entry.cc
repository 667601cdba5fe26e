#include "platform/imaging_module.h"
#include "vips/vips_graphics.h"
#include "vips/vips_image_decoding.h"
#include "vips/vips_startup.h"

extern "C" __attribute__((visibility("default"))) tarnwick::ImagingServices* tarnwick_imaging_services() {
  tarnwick::initialiseVips("tarnwick");
  static tarnwick::VipsImageDecoding decoding;
  static tarnwick::VipsGraphics graphics;
  static tarnwick::ImagingServices services{decoding, graphics};
  return &services;
}
