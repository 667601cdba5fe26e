#pragma once

#include <cstdio>

namespace tarnwick {

// First step of every run: initialise the imaging library once, keep every
// library's log output away from standard error, block decoders that are not
// fit for untrusted files, ignore SIGPIPE so a vanished reader cannot kill
// the run, and keep the recognizer's OpenMP runtime to one thread per caller
// thread whatever the caller's environment says.
//
// Standard error itself is pointed at /dev/null, so no library can ever print
// there; the returned stream is the original standard error, kept for the
// tool's own usage line.
std::FILE* startPlatform(const char* programName);

// OpenMP regions started from the calling thread run as a team of one. Every
// thread that enters the recognizer calls it first.
void limitOpenMPToCallingThread();

}  // namespace tarnwick
