// The command: starts the recognizer program, in the same process, with the
// environment that gets it huge pages. Linked to little beyond the C library
// and the report writer, its start costs a couple of milliseconds, where the
// recognizer's seventy-odd shared libraries take thirty to load.
#include <unistd.h>

#include <array>
#include <climits>
#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "app/huge_pages.h"
#include "report/json_report.h"

namespace {

// Where the recognizer program may be, relative to the command's directory:
// beside it in the build tree, in lib/tarnwick/ once installed.
constexpr std::array kRecognizerPaths{
    "/tarnwick-reader",
    "/" TARNWICK_LIBDIR_FROM_BINDIR "/tarnwick/tarnwick-reader",
};

std::string commandDirectory() {
  std::array<char, PATH_MAX> path{};
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return {};
  const std::string_view command(path.data(), static_cast<std::size_t>(length));
  return std::string(command.substr(0, command.rfind('/')));
}

}  // namespace

int main(int, char** argv, char** environment) {
  std::vector<std::string> variables = tarnwick::recognizerEnvironment(environment);
  std::vector<char*> recognizerEnvironment;
  for (std::string& variable : variables) recognizerEnvironment.push_back(variable.data());
  recognizerEnvironment.push_back(nullptr);
  if (const std::string directory = commandDirectory(); !directory.empty())
    for (const char* path : kRecognizerPaths) execve((directory + path).c_str(), argv, recognizerEnvironment.data());
  // Only a broken installation gets here; its record must still reach a
  // reader that may have gone.
  std::signal(SIGPIPE, SIG_IGN);
  tarnwick::emitError("vision failed: cannot start the recognizer program tarnwick-reader");
  return 0;
}
