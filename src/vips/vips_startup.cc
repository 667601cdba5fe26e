#include "vips/vips_startup.h"

#include <mutex>

#include <gmodule.h>
#include <vips/vips.h>

namespace tarnwick {
namespace {

void dropGLibMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void routeGLibLogsAway() {
  g_log_set_default_handler(dropGLibMessage, nullptr);
  g_log_set_writer_func(
      [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr, nullptr);
}

}  // namespace

void initialiseVips(const char* programName) {
  static std::once_flag initialised;
  std::call_once(initialised, [programName] {
    routeGLibLogsAway();
    if (VIPS_INIT(programName) == 0) {
      vips_block_untrusted_set(TRUE);
      // One image at a time: caching operations only grows memory.
      vips_cache_set_max(0);
      vips_concurrency_set(1);
    }
  });
}

void loadHeifDecoder() {
  static std::once_flag loaded;
  std::call_once(loaded, [] {
    GModule* module = g_module_open(TARNWICK_VIPS_MODULE_DIR "/vips-heif.so", G_MODULE_BIND_LAZY);
    if (module != nullptr) g_module_make_resident(module);
  });
}

}  // namespace tarnwick
