#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

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

// A run touches a few hundred megabytes of fresh memory once (the page, the
// detector's layers, two recognizer models), and faulting it in 4 KB pages
// costs up to a quarter of the run. glibc backs its heaps with transparent
// huge pages where the kernel leaves that to the process, but only when told
// so by GLIBC_TUNABLES as the process starts: this executes the binary
// again, once, with those settings added (see hugePageEnvironment), and
// returns only where they do not apply (huge pages set either way by the
// caller already, used always or never, a secure-execution process) or
// executing failed. The executable runs it first of all, before the C
// library has set up `environ`.
void restartWithHugePages(char** argv, char** environment);

// The environment to restart with: the one given, with huge pages and heaps
// that grow in large steps asked of glibc among the caller's own tunables
// (theirs kept where they name one); none when those say either way about
// huge pages.
std::optional<std::vector<std::string>> hugePageEnvironment(char** environment);

}  // namespace tarnwick
