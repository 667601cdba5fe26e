#include "app/process_startup.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "platform/library_setup.h"

namespace tarnwick {
namespace {

int keptStandardError = -1;

// By default glibc maps blocks from a few hundred kilobytes up on their own
// and unmaps them when freed, and trims the heap's free top: the network's
// buffers, the engines' workspaces and each line's images, freed and taken
// again and again, then arrive as fresh pages every time, and a fresh page
// costs a fault and a clearing, which on a virtual machine outweigh the
// work done with it. Blocks up to kLargestHeapBlock come from the heap and
// go back to it, and the heap keeps up to kFreeHeapTopKept free at its top.
// Larger blocks, a big page's pixels, are still given back when freed.
constexpr int kLargestHeapBlock = 32 << 20;  // glibc's upper bound for it
constexpr int kFreeHeapTopKept = 256 << 20;

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

void keepFreedMemoryForReuse() {
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  mallopt(M_TRIM_THRESHOLD, kFreeHeapTopKept);
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
