#pragma once

#include <cstdio>

namespace tarnwick {

// First step of every run: initialise the imaging library once, keep every
// library's log output away from standard error, block decoders that are not
// fit for untrusted files, ignore SIGPIPE so a vanished reader cannot kill
// the run, and keep the recognizer's OpenMP runtime to one thread per caller
// thread whatever the caller's environment says.
//
// Standard error itself is pointed at /dev/null (see divertStandardError);
// the returned stream is the original standard error, kept for the tool's own
// usage line.
std::FILE* startPlatform(const char* programName);

// Keeps a copy of the original standard error and points descriptor 2 at
// /dev/null, so no library can print there. The executable runs it before
// any shared library initialises, since some print from their constructors;
// startPlatform runs it if that has not happened. Uses system calls only.
void divertStandardError();

// OpenMP regions started from the calling thread run as a team of one. Every
// thread that enters the recognizer calls it first.
void limitOpenMPToCallingThread();

}  // namespace tarnwick
