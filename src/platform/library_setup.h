#pragma once

namespace tarnwick {

// What recognition needs of the process, done once however often it is
// called and from whichever thread: drop Leptonica's and Tesseract's
// messages and keep the recognizer's OpenMP runtime to one thread whatever
// the environment says. Run before any engine is made.
// Standard error is left as it is. The imaging library is set up when its
// module loads (see imaging_module.h).
void initialiseLibraries();

// The same but for quieting Tesseract, which costs an engine of its own: for
// a process whose standard error goes nowhere already.
void initialiseLibrariesButTesseract();

// OpenMP regions started from the calling thread run as a team of one. Every
// thread that enters the recognizer calls it first.
void limitOpenMPToCallingThread();

}  // namespace tarnwick
