#include <mutex>

#include "app/default_platform.h"
#include "app/run.h"
#include "platform/library_setup.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

Outcome recognizeImageFile(const std::string& path) {
  // The library-backed platform keeps one recognizer for the process.
  static std::mutex oneRunAtATime;
  const std::lock_guard lock(oneRunAtATime);
  initialiseLibraries();
  return recognizeImageAt(path, defaultPlatform);
}

}  // namespace tarnwick
