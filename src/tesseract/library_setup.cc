#include "platform/library_setup.h"

#include <mutex>

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>

namespace tarnwick {
namespace {

void dropLeptonicaMessage(const char*) {}

void quietLeptonica() {
  setMsgSeverity(L_SEVERITY_NONE);
  leptSetStderrHandler(dropLeptonicaMessage);
}

// Tesseract prints to the file a global variable names, and only an engine
// can set it: making one costs about 2 ms.
void quietTesseract() {
  tesseract::TessBaseAPI engine;
  engine.SetVariable("debug_file", "/dev/null");
}

}  // namespace

void limitOpenMPToCallingThread() { omp_set_max_active_levels(0); }

void initialiseLibraries() {
  static std::once_flag initialised;
  std::call_once(initialised, [] {
    limitOpenMPToCallingThread();
    quietLeptonica();
    quietTesseract();
  });
}

void initialiseLibrariesButTesseract() {
  limitOpenMPToCallingThread();
  quietLeptonica();
}

}  // namespace tarnwick
