#include "isolation/isolated_decoding.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <vips/vips.h>

#include "isolation/decoded_pixels.h"
#include "isolation/decoder_limits.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {
namespace {

using Head = std::basic_string_view<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Head bytes(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

bool startsWith(Head head, std::string_view magic) { return head.substr(0, magic.size()) == bytes(magic); }

// PCX: manufacturer 10, a known version, no or run-length encoding, a known
// sample depth.
bool isPcx(Head head) {
  constexpr std::string_view versions("\0\2\3\4\5", 5), depths("\1\2\4\10", 4);
  return head.size() >= 128 && head[0] == 0x0A && versions.find(char(head[1])) != std::string_view::npos &&
         head[2] <= 1 && depths.find(char(head[3])) != std::string_view::npos;
}

// Windows icons and cursors: reserved zero, type 1 or 2, at least one image.
bool isIcon(Head head) {
  return head.size() >= 6 && head[0] == 0 && head[1] == 0 && (head[2] == 1 || head[2] == 2) && head[3] == 0 &&
         (head[4] != 0 || head[5] != 0);
}

// An XML document, or a bare element, whose first bytes hold an <svg> element.
bool isSvg(Head head) {
  Head text = startsWith(head, "\xEF\xBB\xBF") ? head.substr(3) : head;
  while (!text.empty() && (text[0] == ' ' || text[0] == '\t' || text[0] == '\r' || text[0] == '\n'))
    text.remove_prefix(1);
  return startsWith(text, "<") && text.find(bytes("<svg")) != Head::npos;
}

// Targa has no signature; its header must be one gdk-pixbuf's loader takes:
// no or a 15 to 32-bit colour map, an image type of colour-mapped, true
// colour or grey, raw or run-length, 8 to 32 bits a pixel, a size.
bool isTarga(Head head) {
  if (head.size() < 18) return false;
  const std::uint8_t mapType = head[1], imageType = head[2], mapBits = head[7], depth = head[16];
  const bool mapped = imageType == 1 || imageType == 9;
  const bool known = mapped || imageType == 2 || imageType == 3 || imageType == 10 || imageType == 11;
  const bool map = mapType == 1 && (mapBits == 15 || mapBits == 16 || mapBits == 24 || mapBits == 32);
  const bool sized = (head[12] != 0 || head[13] != 0) && (head[14] != 0 || head[15] != 0);
  return known && (mapped ? map : mapType == 0 || map) &&
         (depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32) && sized;
}

constexpr const char* kPixbuf = "tarnwick-decode-pixbuf";
constexpr const char* kMagick = "tarnwick-decode-magick";

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A copy at 3 or above, so that placing it at 0 or 1 in the child cannot
// overwrite the other when standard input or output was closed.
Descriptor aboveStandard(int fd) { return Descriptor(fcntl(fd, F_DUPFD_CLOEXEC, 3)); }

// The directory of the binary holding this code, as the imaging module is
// found: the module's, the test program's or the fuzzer's.
std::string decoderDirectory() {
  Dl_info info{};
  link_map* binary = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&decoderDirectory), &info, reinterpret_cast<void**>(&binary),
              RTLD_DL_LINKMAP) == 0 ||
      binary == nullptr)
    return {};
  const std::filesystem::path file = binary->l_name[0] != '\0' ? binary->l_name : "/proc/self/exe";
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(file, error);
  return error ? std::string() : resolved.parent_path().string();
}

// A started child; killed, if it still runs, and reaped when it goes.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitForExit();
    }
  }
  bool exitedCleanly() {
    const int status = waitForExit();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  int waitForExit() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }
  pid_t pid_;
};

std::optional<Child> spawnDecoder(const IsolatedFormat& format, int file, int output) {
  const std::string directory = decoderDirectory();
  if (directory.empty()) return std::nullopt;
  std::string path = directory + "/" + format.decoder;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return std::nullopt;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  std::string formatName = format.format;
  char* argv[] = {path.data(), formatName.data(), nullptr};
  char* environment[] = {nullptr};
  pid_t pid = -1;
  const bool spawned =
      posix_spawn_file_actions_adddup2(&actions, file, STDIN_FILENO) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO) == 0 &&
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
      posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
      posix_spawnattr_setsigmask(&attributes, &none) == 0 && posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
      posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environment) == 0;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (!spawned) return std::nullopt;
  return std::optional<Child>(std::in_place, pid);
}

// Waits until `fd` has something to read (or its end); false at the
// deadline or on an error.
bool readableBefore(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, int(std::min<long long>(left, 60'000)));
    if (polled < 0 && errno == EINTR) continue;
    return polled > 0;
  }
}

// Reads exactly `size` bytes, or fails at the end of the stream, an error or
// the deadline.
bool readFully(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    if (!readableBefore(fd, deadline)) return false;
    const ssize_t got = read(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Whether the stream ends, with nothing more in it, before the deadline.
bool endsWithin(int fd, Clock::time_point deadline) {
  for (;;) {
    if (!readableBefore(fd, deadline)) return false;
    std::uint8_t extra = 0;
    const ssize_t got = read(fd, &extra, 1);
    if (got < 0 && errno == EINTR) continue;
    return got == 0;
  }
}

// The child's pixels, checked against the limits again rather than trusted.
std::optional<Image> receivePixels(int fd, Clock::time_point deadline) {
  DecodedPixelsHeader header{};
  if (!readFully(fd, reinterpret_cast<std::uint8_t*>(&header), sizeof header, deadline) ||
      header.magic != kDecodedPixelsMagic || header.width == 0 || header.height == 0 || header.bands < 1 ||
      header.bands > 4 || header.width > VIPS_MAX_COORD || header.height > VIPS_MAX_COORD ||
      exceedsPixelBufferLimit(header.width, header.height))
    return std::nullopt;
  Image image(vips_image_new_memory());
  vips_image_init_fields(image.vips(), int(header.width), int(header.height), int(header.bands), VIPS_FORMAT_UCHAR,
                         VIPS_CODING_NONE, header.bands <= 2 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB,
                         1.0, 1.0);
  std::vector<std::uint8_t> row(std::size_t{header.width} * header.bands);
  for (std::uint32_t y = 0; y < header.height; ++y)
    if (!readFully(fd, row.data(), row.size(), deadline) || vips_image_write_line(image.vips(), int(y), row.data()) != 0)
      return std::nullopt;
  if (!endsWithin(fd, deadline)) return std::nullopt;
  return image;
}

class IsolatedImageSource final : public ImageSource {
 public:
  IsolatedImageSource(const IsolatedFormat& format, Descriptor file) : format_(format), file_(std::move(file)) {}

  std::optional<Image> imageAtIndex(std::size_t index) override {
    if (index != 0) return std::nullopt;
    return decodeInChild(format_, file_.get());
  }

 private:
  IsolatedFormat format_;
  Descriptor file_;
};

}  // namespace

std::optional<IsolatedFormat> isolatedFormatOf(Head head) {
  head = head.substr(0, 4096);
  if (startsWith(head, "BM") && head.size() >= 26) return IsolatedFormat{kPixbuf, "bmp"};
  if (isIcon(head)) return IsolatedFormat{kMagick, "ICO"};
  if (startsWith(head, "8BPS")) return IsolatedFormat{kMagick, "PSD"};
  if (startsWith(head, "DDS ")) return IsolatedFormat{kMagick, "DDS"};
  if (startsWith(head, "\x01\xDA")) return IsolatedFormat{kMagick, "SGI"};
  if (isPcx(head)) return IsolatedFormat{kMagick, "PCX"};
  if (startsWith(head, "/* XPM */")) return IsolatedFormat{kMagick, "XPM"};
  if (startsWith(head, "v/1\x01")) return IsolatedFormat{"tarnwick-decode-exr", "exr"};
  // At the very start, though readers look further: other formats may hold
  // these bytes further in, and no other signature starts with '%' or '<'.
  if (startsWith(head, "%PDF-")) return IsolatedFormat{"tarnwick-decode-pdf", "pdf"};
  if (isSvg(head)) return IsolatedFormat{"tarnwick-decode-svg", "svg"};
  if (isTarga(head)) return IsolatedFormat{kPixbuf, "tga"};
  return std::nullopt;
}

std::optional<Image> decodeInChild(const IsolatedFormat& format, int fileDescriptor) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  Descriptor readEnd(ends[0]), writeEnd(ends[1]);
  const Descriptor file = aboveStandard(fileDescriptor);
  writeEnd = aboveStandard(writeEnd.get());
  if (file.get() < 0 || writeEnd.get() < 0) return std::nullopt;
  std::optional<Child> child = spawnDecoder(format, file.get(), writeEnd.get());
  if (!child) return std::nullopt;
  // The child holds the only write end, so its exit ends the stream.
  writeEnd = Descriptor();
  const auto deadline = Clock::now() + std::chrono::seconds(kDecoderWallClockSeconds);
  std::optional<Image> image = receivePixels(readEnd.get(), deadline);
  if (!image || !child->exitedCleanly()) return std::nullopt;
  return image;
}

std::unique_ptr<ImageSource> makeIsolatedImageSource(const IsolatedFormat& format, int fileDescriptor) {
  Descriptor file(fcntl(fileDescriptor, F_DUPFD_CLOEXEC, 0));
  if (file.get() < 0) return nullptr;
  return std::make_unique<IsolatedImageSource>(format, std::move(file));
}

}  // namespace tarnwick
