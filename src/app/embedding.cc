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
  Outcome outcome = recognizeImageAt(path, defaultPlatform);
  // A host may exit as soon as a failed call returns: no load may still be
  // running then.
  settleDefaultPlatform();
  return outcome;
}

}  // namespace tarnwick
