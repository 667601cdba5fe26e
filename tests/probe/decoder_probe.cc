// A decoder child that decodes nothing: it tries what a hijacked decoder
// would, or misbehaves as one might, so the tests can see what the child's
// limits and the parent's checks make of it. Its "format" names the act.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "isolation/decoded_pixels.h"
#include "isolation/decoder_child.h"

namespace {

std::optional<tarnwick::DecodedPixels> act(const std::vector<std::uint8_t>&, std::string_view format) {
  const std::string what(format), directory = what.substr(what.find(':') + 1);
  if (what == "crash") std::abort();
  if (what.starts_with("escape:")) {  // one grey pixel whose bits say which escapes worked
    const int file = open((directory + "/written").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int socketFd = socket(AF_INET, SOCK_STREAM, 0);
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int worked = (file >= 0) | (socketFd >= 0) << 1 | (child > 0) << 2 | (kill(getppid(), 0) == 0) << 3 |
                 (unlink((directory + "/keep").c_str()) == 0) << 4;
#if !defined(TARNWICK_SANITIZED)
    worked |= (std::malloc(std::size_t{3} << 30) != nullptr) << 5;  // the child exits soon after
#endif
    return tarnwick::DecodedPixels{1, 1, 1, {std::uint8_t(worked)}};
  }
  // A header claiming far more pixels than follow, or one pixel and then
  // bytes that belong to nothing.
  const std::uint32_t side = what == "lie" ? 100000 : 1;
  const tarnwick::DecodedPixelsHeader header{tarnwick::kDecodedPixelsMagic, side, side, 1};
  const std::uint8_t bytes[] = {255, 1, 2, 3};
  if (what == "lie" || what == "trail")
    _exit(write(STDOUT_FILENO, &header, sizeof header) == sizeof header && write(STDOUT_FILENO, bytes, 4) == 4 ? 0 : 1);
  return tarnwick::DecodedPixels{2, 1, 1, {0, 255}};
}

}  // namespace

int main(int argc, char** argv) { tarnwick::runDecoderChild(argc, argv, act); }
