#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// A run touches a few hundred megabytes of fresh memory once (the page, the
// detector's layers, two recognizer models), and faulting it in 4 KB pages
// costs up to a quarter of the run. glibc backs its heaps with transparent
// huge pages where the kernel leaves that to the process, but only when told
// so by GLIBC_TUNABLES as the process starts: the command therefore starts
// the recognizer program with those settings added.

// The environment the recognizer program starts with: the caller's, with
// huge pages asked of glibc (see hugePageEnvironment); none, for the caller's
// as it is, where that does not apply: huge pages set either way by the
// caller already, used always or never by the kernel, or a secure-execution
// process, whose tunables glibc would not pass on.
std::optional<std::vector<std::string>> recognizerEnvironment(char** environment);

// The environment given, with huge pages and heaps that grow in large steps
// asked of glibc among the caller's own tunables (theirs kept where they
// name one); none when those say either way about huge pages.
std::optional<std::vector<std::string>> hugePageEnvironment(char** environment);

}  // namespace tarnwick
