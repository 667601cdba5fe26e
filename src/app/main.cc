#include <cstdio>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/startup.h"

int main(int argc, char** argv) {
  std::FILE* ownStandardError = tarnwick::startPlatform(argc > 0 ? argv[0] : "tarnwick");
  const std::vector<std::string> arguments(argv, argv + argc);
  return tarnwick::runTarnwick(arguments, tarnwick::defaultPlatform(), stdout, ownStandardError);
}
