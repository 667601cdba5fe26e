// Image bytes through the three decoding routes and into a BGRA pixel
// buffer, as a run of the tool takes them: formats route 3 hands to decoder
// children go through the real children, started beside this program.
#include <glib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "error/ocr_error.h"
#include "imaging/load_image.h"
#include "imaging/pixel_buffer_preparation.h"
#include "platform/library_setup.h"
#include "vips/vips_graphics.h"
#include "vips/vips_image_decoding.h"
#include "vips/vips_startup.h"

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  // As a run sets libvips up, but with standard error left for libFuzzer.
  tarnwick::initialiseLibraries();
  tarnwick::initialiseVips((*argv)[0]);
  // libvips works on GLib's pooled threads. One that retires mid-check takes
  // its per-thread memory with it and the leak checker sees a false leak, so
  // pooled threads are kept for the life of the fuzzer.
  g_thread_pool_set_max_idle_time(0);
  g_thread_pool_set_max_unused_threads(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The decoders take paths; an in-memory file reached through /proc keeps
  // the disk out of every iteration.
  static const int memoryFile = memfd_create("image", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(memoryFile);
  if (ftruncate(memoryFile, 0) != 0 || pwrite(memoryFile, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  tarnwick::VipsImageDecoding decoding;
  tarnwick::VipsGraphics graphics;
  try {
    tarnwick::makeBGRAPixelBuffer(tarnwick::loadCGImage(path, decoding), graphics);
  } catch (const tarnwick::OcrError&) {
    // A refusal is a correct outcome; only crashes, leaks and hangs count.
  }
  return 0;
}
