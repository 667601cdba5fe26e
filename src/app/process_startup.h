#pragma once

#include <cstdio>

namespace tarnwick {

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

// The command starts this program by another file's name, which the kernel
// gives the process; it takes the command's back, so callers that look for
// or stop their runs by name find them.
void takeTheCommandsName();

// Has the C library keep freed memory for reuse rather than give it back to
// the kernel at once (see process_startup.cc). For the executable only: a
// host application's allocator is its own.
void keepFreedMemoryForReuse();

}  // namespace tarnwick
