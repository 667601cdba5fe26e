#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "app/default_platform.h"
#include "app/run.h"
#include "app/process_startup.h"

namespace {

// Runs before any shared library's constructor: some print while they
// initialise (the OpenMP runtime, for one), while standard error must carry
// nothing but our usage line.
void startBeforeLibraries() {
  tarnwick::takeTheCommandsName();
  tarnwick::keepFreedMemoryForReuse();
  tarnwick::divertStandardError();
}

__attribute__((section(".preinit_array"), used)) void (*const beforeLibraries)() =
    startBeforeLibraries;

}  // namespace

int main(int argc, char** argv) {
  // The report line leaves in one write(2), so the lines of tarnwick processes
  // sharing one output file never interleave. Trivially destructible: stdout
  // is flushed after static objects are destroyed.
  static std::array<char, std::size_t{1} << 20> lineBuffer;
  std::setvbuf(stdout, lineBuffer.data(), _IOFBF, lineBuffer.size());
  std::FILE* ownStandardError = tarnwick::startPlatform();
  const std::vector<std::string> arguments(argv, argv + argc);
  const int status = tarnwick::runTarnwick(arguments, tarnwick::defaultPlatform, stdout, ownStandardError);
  // The record leaves now, before a run that failed early waits for its
  // models: whatever goes wrong from here must not take the record with it.
  std::fflush(stdout);
  tarnwick::settleDefaultPlatform();
  return status;
}
