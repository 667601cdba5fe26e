// The command: starts the recognizer program, in the same process, with the
// environment that gets it huge pages. Linked to little beyond the C library
// and the report writer, its start costs a couple of milliseconds, where the
// recognizer's seventy-odd shared libraries take thirty to load.
#include <unistd.h>

#include <array>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "app/binary_location.h"
#include "app/huge_pages.h"
#include "report/json_report.h"

namespace {

// Where the recognizer program may be, relative to the command's directory:
// beside it in the build tree, in lib/tarnwick/ once installed.
constexpr std::array kRecognizerPaths{
    "/tarnwick-reader",
    "/" TARNWICK_LIBDIR_FROM_BINDIR "/tarnwick/tarnwick-reader",
};

}  // namespace

int main(int, char** argv, char** environment) {
  std::optional<std::vector<std::string>> asked = tarnwick::recognizerEnvironment(environment);
  std::vector<char*> askedEnvironment;
  if (asked) {
    for (std::string& variable : *asked) askedEnvironment.push_back(variable.data());
    askedEnvironment.push_back(nullptr);
  }
  char** const recognizerEnvironment = asked ? askedEnvironment.data() : environment;
  if (const std::string directory = tarnwick::binaryDirectory(); !directory.empty())
    for (const char* path : kRecognizerPaths) execve((directory + path).c_str(), argv, recognizerEnvironment);
  // Only a broken installation gets here; its record must still reach a
  // reader that may have gone.
  std::signal(SIGPIPE, SIG_IGN);
  tarnwick::emitError("vision failed: cannot start the recognizer program tarnwick-reader");
  return 0;
}
