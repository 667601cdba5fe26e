#include "isolation/decoder_child.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include "isolation/decoded_pixels.h"
#include "isolation/decoder_limits.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {
namespace {

bool limit(int resource, rlim_t value) {
  const rlimit bound{value, value};
  return setrlimit(resource, &bound) == 0;
}

bool limitSelf() {
  // A write past the file size limit fails with EFBIG instead of killing.
  std::signal(SIGXFSZ, SIG_IGN);
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() == 1) return false;
  bool limited = limit(RLIMIT_CPU, kDecoderSeconds) && limit(RLIMIT_FSIZE, 0) && limit(RLIMIT_CORE, 0) &&
                 limit(RLIMIT_NOFILE, kDecoderOpenFiles);
#if !defined(TARNWICK_SANITIZED)
  // The sanitizers reserve terabytes of address space for their shadow.
  limited = limited && limit(RLIMIT_AS, kDecoderAddressSpaceBytes);
#endif
  return limited;
}

std::optional<std::vector<std::uint8_t>> readStandardInput() {
  struct stat status {};
  if (fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxDecoderInputBytes)
    return std::nullopt;
  std::vector<std::uint8_t> file;
  try {
    file.resize(static_cast<std::size_t>(status.st_size));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  std::size_t filled = 0;
  while (filled < file.size()) {
    const ssize_t got = pread(STDIN_FILENO, file.data() + filled, file.size() - filled, off_t(filled));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  file.resize(filled);
  return file;
}

bool writeAll(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t put = write(STDOUT_FILENO, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool handBack(const DecodedPixels& pixels) {
  if (pixels.width == 0 || pixels.height == 0 || pixels.bands < 1 || pixels.bands > 4 ||
      !fitsPixelLimit(pixels.width, pixels.height) ||
      pixels.samples.size() != std::size_t{pixels.width} * pixels.height * pixels.bands)
    return false;
  const DecodedPixelsHeader header{kDecodedPixelsMagic, pixels.width, pixels.height, pixels.bands};
  return writeAll(&header, sizeof header) && writeAll(pixels.samples.data(), pixels.samples.size());
}

}  // namespace

bool fitsPixelLimit(std::int64_t width, std::int64_t height) {
  return width > 0 && height > 0 && !exceedsPixelBufferLimit(width, height);
}

void runDecoderChild(int argc, char** argv, const DecodeFile& decode) {
  if (argc != 2 || !limitSelf()) _exit(1);
  bool written = false;
  try {
    const std::optional<std::vector<std::uint8_t>> file = readStandardInput();
    if (file) {
      const std::optional<DecodedPixels> pixels = decode(*file, argv[1]);
      written = pixels && handBack(*pixels);
    }
  } catch (...) {
    written = false;
  }
  _exit(written ? 0 : 1);
}

}  // namespace tarnwick
