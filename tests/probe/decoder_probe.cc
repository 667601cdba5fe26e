// A decoder child that decodes nothing: it tries what a hijacked decoder
// would, or misbehaves as one might, so the tests can see what the child's
// limits and the parent's checks make of it. Its "format" names the act.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "isolation/decoded_pixels.h"
#include "isolation/decoder_child.h"

namespace {

// One grey pixel whose bits say which escapes worked.
std::optional<tarnwick::DecodedPixels> tryToEscape(const std::string& directory) {
  std::uint8_t worked = 0;
  const int file = open((directory + "/written").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (file >= 0) worked |= 1, close(file);
  const int socketFd = socket(AF_INET, SOCK_STREAM, 0);
  if (socketFd >= 0) worked |= 2, close(socketFd);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  if (child > 0) worked |= 4;
  if (kill(getppid(), 0) == 0) worked |= 8;
  if (unlink((directory + "/keep").c_str()) == 0) worked |= 16;
#if !defined(TARNWICK_SANITIZED)
  void* large = std::malloc(std::size_t{3} << 30);
  if (large != nullptr) worked |= 32;
  std::free(large);
#endif
  return tarnwick::DecodedPixels{1, 1, 1, {worked}};
}

std::optional<tarnwick::DecodedPixels> act(const std::vector<std::uint8_t>&, std::string_view format) {
  const std::string what(format);
  if (what.rfind("escape:", 0) == 0) return tryToEscape(what.substr(7));
  if (what == "crash") std::abort();
  if (what == "lie") {  // a header claiming far more pixels than follow
    const tarnwick::DecodedPixelsHeader header{tarnwick::kDecodedPixelsMagic, 100000, 100000, 3};
    if (write(STDOUT_FILENO, &header, sizeof header) != sizeof header) return std::nullopt;
    _exit(0);
  }
  if (what == "trail") {  // one pixel, then bytes that belong to nothing
    const tarnwick::DecodedPixelsHeader header{tarnwick::kDecodedPixelsMagic, 1, 1, 1};
    const std::uint8_t bytes[] = {255, 1, 2, 3};
    if (write(STDOUT_FILENO, &header, sizeof header) != sizeof header || write(STDOUT_FILENO, bytes, 4) != 4)
      return std::nullopt;
    _exit(0);
  }
  return tarnwick::DecodedPixels{2, 1, 1, {0, 255}};
}

}  // namespace

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, act); }
