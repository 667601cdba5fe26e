#include "app/default_platform.h"

#include "app/imaging_module_loader.h"
#include "tesseract/tesseract_recognition.h"

namespace tarnwick {

Platform& defaultPlatform() {
  // The recognizer first: its model starts loading on another thread while
  // the imaging module loads on this one.
  static TesseractRecognition recognition;
  static Platform platform{imagingServices().decoding, imagingServices().graphics, recognition};
  return platform;
}

}  // namespace tarnwick
