#include "app/process_startup.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

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

}  // namespace

void takeTheCommandsName() { prctl(PR_SET_NAME, "tarnwick"); }

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
