// Image bytes through the three decoding routes and into a BGRA pixel
// buffer, as a run of the tool takes them: formats route 3 hands to decoder
// children go through the real children, started beside this program.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <glib.h>

#include "error/ocr_error.h"
#include "imaging/load_image.h"
#include "imaging/pixel_buffer_preparation.h"
#include "platform/library_setup.h"
#include "vips/vips_startup.h"
#include "vips/vips_graphics.h"
#include "vips/vips_image_decoding.h"

namespace {

// The decoders take paths; an in-memory file reached through /proc keeps
// the disk out of every iteration.
int memoryFile = -1;
std::string memoryFilePath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  // As a run sets libvips up, but with standard error left for libFuzzer.
  tarnwick::initialiseLibraries();
  tarnwick::initialiseVips((*argv)[0]);
  // libvips works on GLib's pooled threads. One that retires mid-check takes
  // its per-thread memory with it and the leak checker sees a false leak, so
  // pooled threads are kept for the life of the fuzzer.
  g_thread_pool_set_max_idle_time(0);
  g_thread_pool_set_max_unused_threads(-1);
  memoryFile = memfd_create("image", 0);
  memoryFilePath = "/proc/self/fd/" + std::to_string(memoryFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (ftruncate(memoryFile, 0) != 0 || pwrite(memoryFile, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  tarnwick::VipsImageDecoding decoding;
  tarnwick::VipsGraphics graphics;
  try {
    const tarnwick::Image image = tarnwick::loadCGImage(memoryFilePath, decoding);
    tarnwick::makeBGRAPixelBuffer(image, graphics);
  } catch (const tarnwick::OcrError&) {
    // A refusal is a correct outcome; only crashes, leaks and hangs count.
  }
  return 0;
}
