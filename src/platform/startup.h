#pragma once

#include <cstdio>

namespace tarnwick {

// What recognition needs of the process, done once however often it is
// called and from whichever thread: drop Leptonica's and Tesseract's
// messages and keep the recognizer's OpenMP runtime to one thread whatever
// the environment says. Run before any engine is made.
// Standard error is left as it is. The imaging library is set up when its
// module loads (see imaging_module.h).
void initialiseLibraries();

// First step of the executable: ignore SIGPIPE so a vanished reader cannot
// kill the run, point standard error at /dev/null (see divertStandardError)
// and initialise the libraries, all but quieting Tesseract, whose messages
// go to the diverted standard error. The returned stream is the original
// standard error, kept for the tool's own usage line.
std::FILE* startPlatform();

// Keeps a copy of the original standard error and points descriptor 2 at
// /dev/null, so no library can print there. The executable runs it before
// any shared library initialises, since some print from their constructors;
// startPlatform runs it if that has not happened. Uses system calls only.
void divertStandardError();

// OpenMP regions started from the calling thread run as a team of one. Every
// thread that enters the recognizer calls it first.
void limitOpenMPToCallingThread();

}  // namespace tarnwick
