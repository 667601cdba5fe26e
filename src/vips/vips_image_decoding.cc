#include "vips/vips_image_decoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include <vips/vips.h>

#include "isolation/decoder_limits.h"
#include "isolation/isolated_decoding.h"
#include "leptonica/leptonica_image_source.h"
#include "platform/pixel_buffer.h"
#include "vips/vips_startup.h"

namespace tarnwick {

static_assert(kMaxDecoderInputBytes == kMaxImageSourceFileBytes, "decoder children read what image sources read");

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct RegularFile {
  Descriptor descriptor;
  std::int64_t size;
};

// O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; the
// descriptor is then given up unless it turns out to be a regular file.
std::optional<RegularFile> openRegularFile(const std::string& path) {
  Descriptor descriptor(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (descriptor.get() < 0 || fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return RegularFile{std::move(descriptor), status.st_size};
}

struct SourceUnref {
  void operator()(VipsSource* source) const { g_object_unref(source); }
};

bool exceedsDecodedBytesLimit(const VipsImage* image) { return VIPS_IMAGE_SIZEOF_IMAGE(image) > kMaxDecodedImageBytes; }

// Sizes here come from files, so memory running out is a failure to report,
// not an exception to throw.
bool resized(Bytes& bytes, std::size_t size) {
  try {
    bytes.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

Image share(const Image& image) { return Image(static_cast<VipsImage*>(g_object_ref(image.vips()))); }

std::optional<Image> inMemory(VipsImage* image) {
  VipsImage* copy = vips_image_copy_memory(image);
  if (copy == nullptr) return std::nullopt;
  return Image(copy);
}

std::optional<Image> upright(const Image& image) {
  VipsImage* rotated = nullptr;
  if (vips_autorot(image.vips(), &rotated, nullptr) != 0) return std::nullopt;
  return Image(rotated);
}

// The file's first image, opened for one pass from the top: its header now,
// its pixels as they are read. Each opening reads through a duplicate of the
// checked descriptor.
std::optional<Image> openFirstImage(const RegularFile& file, const char* loader) {
  const std::unique_ptr<VipsSource, SourceUnref> source(vips_source_new_from_descriptor(file.descriptor.get()));
  VipsImage* header = nullptr;
  if (!source || vips_source_rewind(source.get()) != 0 ||
      vips_call(loader, source.get(), &header, "access", VIPS_ACCESS_SEQUENTIAL, nullptr) != 0)
    return std::nullopt;
  return Image(header);
}

// Every pixel decoded and let go, a band of rows at a time.
bool decodesWhole(const Image& image) {
  double mean = 0;
  return vips_avg(image.vips(), &mean, nullptr) == 0;
}

class VipsImageObject final : public ImageObject {
 public:
  VipsImageObject(RegularFile file, const char* loader, Image header, std::uint64_t streamedDecodeBytes)
      : file_(std::move(file)), loader_(loader), header_(std::move(header)), streamedDecodeBytes_(streamedDecodeBytes) {}

  Size size() const override {
    VipsImage* header = header_.vips();
    if (vips_image_get_orientation_swap(header) != 0) return {double(header->Ysize), double(header->Xsize)};
    return {double(header->Xsize), double(header->Ysize)};
  }

  std::optional<Image> imageForProposedRect(Rect&) override { return pixels(); }

  std::optional<Bytes> tiffRepresentation() override {
    if (tooManyPixels()) return std::nullopt;
    const std::optional<Image> image = pixels();
    void* buffer = nullptr;
    std::size_t length = 0;
    if (!image || vips_tiffsave_buffer(image->vips(), &buffer, &length, nullptr) != 0) return std::nullopt;
    const std::unique_ptr<void, decltype(&g_free)> owner(buffer, g_free);
    Bytes tiff;
    if (!resized(tiff, length)) return std::nullopt;
    std::memcpy(tiff.data(), buffer, length);
    return tiff;
  }

 private:
  bool tooManyPixels() const { return exceedsPixelBufferLimit(header_.vips()->Xsize, header_.vips()->Ysize); }

  // Turning an image needs all of it at hand, so only upright ones stream.
  bool streams() const {
    return VIPS_IMAGE_SIZEOF_IMAGE(header_.vips()) > streamedDecodeBytes_ &&
           vips_image_get_orientation(header_.vips()) == 1;
  }

  // The header was opened for one sequential pass, so the pixels are decoded
  // once and the outcome, image or failure, is kept. A streamed image can be
  // read only once too, so each reader gets it opened afresh.
  std::optional<Image> pixels() {
    if (!attempted_) {
      attempted_ = true;
      decoded_ = decode();
    }
    if (!decoded_) return std::nullopt;
    return streams() ? openFirstImage(file_, loader_) : share(*decoded_);
  }

  std::optional<Image> decode() const {
    // No pixel buffer can take it, so leave it undecoded rather than unpack
    // what may be a decompression bomb.
    if (tooManyPixels()) return upright(header_);
    if (exceedsDecodedBytesLimit(header_.vips())) return std::nullopt;
    if (streams()) return decodesWhole(header_) ? std::optional(share(header_)) : std::nullopt;
    const std::optional<Image> pixels = inMemory(header_.vips());
    if (!pixels) return std::nullopt;
    return upright(*pixels);
  }

  RegularFile file_;
  const char* loader_;
  Image header_;
  std::uint64_t streamedDecodeBytes_;
  bool attempted_ = false;
  std::optional<Image> decoded_;
};

// libvips 8.14 asks every loader whether it knows a file, blocked ones too,
// so ImageMagick would start up and sniff any file that no other loader
// claims. Here only loaders fit for untrusted input are asked, in libvips'
// order of priority.
void* trustedLoaderClaiming(void* loaderClass, void* source, void*) {
  auto* loader = static_cast<VipsForeignLoadClass*>(loaderClass);
  const VipsOperationFlags flags = VIPS_OPERATION_CLASS(loader)->flags;
  if ((flags & (VIPS_OPERATION_UNTRUSTED | VIPS_OPERATION_BLOCKED)) != 0 || loader->is_a_source == nullptr)
    return nullptr;
  // A loader may have read from the source rather than mapped it.
  auto* file = static_cast<VipsSource*>(source);
  if (vips_source_rewind(file) != 0 || !loader->is_a_source(file)) return nullptr;
  return loader;
}

// HEIF and AVIF files are ISO base media files: their first box is "ftyp".
bool isIsoMediaFile(const RegularFile& file) {
  std::array<char, 8> head{};
  return pread(file.descriptor.get(), head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
         std::string_view(head.data() + 4, 4) == "ftyp";
}

std::optional<Bytes> readWhole(const RegularFile& file) {
  if (file.size > kMaxImageSourceFileBytes) return std::nullopt;
  Bytes bytes;
  if (!resized(bytes, static_cast<std::size_t>(file.size))) return std::nullopt;
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = pread(file.descriptor.get(), bytes.data() + filled, bytes.size() - filled, off_t(filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;  // the file shrank after it was measured
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace

std::unique_ptr<ImageObject> VipsImageDecoding::makeImageObject(const std::string& path) {
  std::optional<RegularFile> file = openRegularFile(path);
  // An empty file holds no image, and libvips 8.14 aborts on one: it cannot
  // map zero bytes, falls back to reading it as a pipe, and fails an assertion.
  if (!file || file->size == 0) return nullptr;
  if (isIsoMediaFile(*file)) loadHeifDecoder();
  const std::unique_ptr<VipsSource, SourceUnref> source(vips_source_new_from_descriptor(file->descriptor.get()));
  if (!source) return nullptr;
  const auto* loader = static_cast<const VipsForeignLoadClass*>(
      vips_foreign_map("VipsForeignLoad", trustedLoaderClaiming, source.get(), nullptr));
  if (loader == nullptr) return nullptr;
  const char* nickname = VIPS_OBJECT_CLASS(loader)->nickname;
  std::optional<Image> header = openFirstImage(*file, nickname);
  if (!header) return nullptr;
  return std::make_unique<VipsImageObject>(std::move(*file), nickname, std::move(*header), streamedDecodeBytes_);
}

std::optional<Image> VipsImageDecoding::bitmapImageFromTIFFData(const Bytes& tiff) {
  VipsImage* lazy = nullptr;
  if (tiff.empty() || vips_tiffload_buffer(const_cast<std::uint8_t*>(tiff.data()), tiff.size(), &lazy, nullptr) != 0)
    return std::nullopt;
  const Image owner(lazy);
  // The bytes are the caller's and go when this returns, so the image can
  // only be handed back decoded.
  if (exceedsPixelBufferLimit(lazy->Xsize, lazy->Ysize) || exceedsDecodedBytesLimit(lazy)) return std::nullopt;
  return inMemory(lazy);
}

std::unique_ptr<ImageSource> VipsImageDecoding::makeImageSource(const std::string& path) {
  const std::optional<RegularFile> file = openRegularFile(path);
  if (!file || file->size > kMaxImageSourceFileBytes) return nullptr;
  // Formats only a decoder child reads are told by their first bytes; the
  // rest, and every file that announces none of them, go to Leptonica.
  std::array<std::uint8_t, 4096> head{};
  const ssize_t got = pread(file->descriptor.get(), head.data(), head.size(), 0);
  if (got > 0)
    if (const std::optional<IsolatedFormat> format = isolatedFormatOf({head.data(), std::size_t(got)}))
      return makeIsolatedImageSource(*format, file->descriptor.get());
  std::optional<Bytes> bytes = readWhole(*file);
  if (!bytes) return nullptr;
  return makeLeptonicaImageSource(std::move(*bytes));
}

}  // namespace tarnwick
