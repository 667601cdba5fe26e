#include "app/process_startup.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/library_setup.h"

namespace tarnwick {
namespace {

int keptStandardError = -1;

// A closed standard descriptor would be handed to the next file we open, and
// a report could land in it; keep all three taken.
void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int devNull = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (devNull >= 0 && devNull != fd) {
      dup2(devNull, fd);
      close(devNull);
    }
  }
}

// libvips loads every decoder module it finds when it starts. Most of them
// read formats we block as unfit for untrusted files (PDF, slide scans,
// ImageMagick's), and loading them all costs a short run more than decoding
// its image. The command points libvips at no module directory and loads
// the one module it reads, HEIF and AVIF, when a file needs it.
void keepVipsFromLoadingModules() { setenv("VIPSHOME", "/nonexistent", 1); }

constexpr const char* kTunables = "GLIBC_TUNABLES";
constexpr const char* kHugePageTunable = "glibc.malloc.hugetlb";
// Grown by glibc's default 128 KB at a time, a heap is seldom covered by
// whole huge pages: heaps grow 64 MB at a time instead. Unused, the growth
// costs address space, not memory.
constexpr const char* kHeapGrowthTunable = "glibc.malloc.top_pad";
constexpr const char* kHeapGrowth = "67108864";

// True when the kernel backs with huge pages only the memory a process
// asks it to, the setting the restart is for.
bool hugePagesOnRequest() {
  const int settings = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
  if (settings < 0) return false;
  std::array<char, 128> text{};
  const ssize_t length = read(settings, text.data(), text.size() - 1);
  close(settings);
  return length > 0 && std::strstr(text.data(), "[madvise]") != nullptr;
}

}  // namespace

std::optional<std::vector<std::string>> hugePageEnvironment(char** environment) {
  const std::string prefix = std::string(kTunables) + "=";
  std::vector<std::string> variables;
  std::string tunables;
  for (char** variable = environment; *variable != nullptr; ++variable) {
    const std::string_view entry(*variable);
    if (entry.starts_with(prefix))
      tunables = entry.substr(prefix.size());
    else
      variables.emplace_back(entry);
  }
  if (tunables.find(kHugePageTunable) != std::string::npos) return std::nullopt;
  const auto add = [&](const std::string& tunable) { tunables += (tunables.empty() ? "" : ":") + tunable; };
  add(std::string(kHugePageTunable) + "=1");
  if (tunables.find(kHeapGrowthTunable) == std::string::npos) add(std::string(kHeapGrowthTunable) + "=" + kHeapGrowth);
  variables.push_back(prefix + tunables);
  return variables;
}

void restartWithHugePages(char** argv, char** environment) {
  // glibc ignores the tunables of a secure-execution process: asking again
  // would never end.
  if (getauxval(AT_SECURE) != 0) return;
  // The environment first: the restarted start, and any whose caller chose,
  // then reads no kernel setting.
  std::optional<std::vector<std::string>> variables = hugePageEnvironment(environment);
  if (!variables || !hugePagesOnRequest()) return;
  std::vector<char*> restartEnvironment;
  for (std::string& variable : *variables) restartEnvironment.push_back(variable.data());
  restartEnvironment.push_back(nullptr);
  // By its path, not /proc/self/exe, so the process keeps its name.
  std::array<char, PATH_MAX> binary{};
  if (readlink("/proc/self/exe", binary.data(), binary.size() - 1) <= 0) return;
  // Returning means the run goes on as it is, without huge pages.
  execve(binary.data(), argv, restartEnvironment.data());
}

void divertStandardError() {
  if (keptStandardError >= 0) return;
  occupyClosedStandardDescriptors();
  keptStandardError = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0) {
    dup2(devNull, STDERR_FILENO);
    close(devNull);
  }
}

std::FILE* startPlatform() {
  std::signal(SIGPIPE, SIG_IGN);
  divertStandardError();
  keepVipsFromLoadingModules();
  // Tesseract is left to print to the standard error just diverted: the 2 ms
  // of quieting it would delay the start of the model load.
  initialiseLibrariesButTesseract();
  std::FILE* ownStandardError = keptStandardError >= 0 ? fdopen(keptStandardError, "w") : nullptr;
  return ownStandardError != nullptr ? ownStandardError : stderr;
}

}  // namespace tarnwick
