#include "platform/imaging_module.h"
#include "platform/vips_graphics.h"
#include "platform/vips_image_decoding.h"
#include "platform/vips_startup.h"

extern "C" __attribute__((visibility("default"))) tarnwick::ImagingServices* tarnwick_imaging_services() {
  tarnwick::initialiseVips("tarnwick");
  static tarnwick::VipsImageDecoding decoding;
  static tarnwick::VipsGraphics graphics;
  static tarnwick::ImagingServices services{decoding, graphics};
  return &services;
}
