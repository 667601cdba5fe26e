#include "platform/vips_image_decoding.h"

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

#include <leptonica/allheaders.h>
#include <vips/vips.h>

#include "platform/pixel_buffer.h"
#include "platform/vips_startup.h"

namespace tarnwick {
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

struct PixDestroy {
  void operator()(PIX* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<PIX, PixDestroy>;

bool exceedsPixelBufferLimit(std::int64_t width, std::int64_t height) { return width * height > kMaxPixelBufferPixels; }

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

class VipsImageObject final : public ImageObject {
 public:
  explicit VipsImageObject(Image header) : header_(std::move(header)) {}

  Size size() const override {
    VipsImage* header = header_.vips();
    if (vips_image_get_orientation_swap(header) != 0) return {double(header->Ysize), double(header->Xsize)};
    return {double(header->Xsize), double(header->Ysize)};
  }

  std::optional<Image> imageForProposedRect(Rect&) override {
    const std::optional<Image>& image = decoded();
    if (!image) return std::nullopt;
    return share(*image);
  }

  std::optional<Bytes> tiffRepresentation() override {
    if (tooManyPixels()) return std::nullopt;
    const std::optional<Image>& image = decoded();
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

  // The header was opened for one sequential pass, so the pixels are decoded
  // once and the outcome, image or failure, is kept.
  const std::optional<Image>& decoded() {
    if (!attempted_) {
      attempted_ = true;
      decoded_ = decode();
    }
    return decoded_;
  }

  std::optional<Image> decode() const {
    // No pixel buffer can take it, so leave it undecoded rather than unpack
    // what may be a decompression bomb.
    if (tooManyPixels()) return upright(header_);
    if (exceedsDecodedBytesLimit(header_.vips())) return std::nullopt;
    const std::optional<Image> pixels = inMemory(header_.vips());
    if (!pixels) return std::nullopt;
    return upright(*pixels);
  }

  Image header_;
  bool attempted_ = false;
  std::optional<Image> decoded_;
};

// Leptonica decodes every frame of a GIF, even to report its size, so the
// frames are measured from their image descriptors first. Gives the pixels of
// all frames together, or nothing when the block structure is broken.
std::optional<std::int64_t> gifFramePixels(const Bytes& gif) {
  constexpr std::size_t kScreenDescriptorEnd = 13;
  if (gif.size() < kScreenDescriptorEnd) return std::nullopt;
  const auto colourTableBytes = [](std::uint8_t flags) -> std::size_t {
    return (flags & 0x80) != 0 ? std::size_t{3} << ((flags & 0x07) + 1) : 0;
  };
  std::size_t at = kScreenDescriptorEnd + colourTableBytes(gif[10]);
  const auto skipSubBlocks = [&gif, &at] {
    while (at < gif.size() && gif[at] != 0) at += std::size_t{gif[at]} + 1;
    ++at;
  };
  std::int64_t pixels = 0;
  while (at < gif.size()) {
    switch (gif[at]) {
      case 0x21:  // extension: introducer, label, sub-blocks
        at += 2;
        skipSubBlocks();
        break;
      case 0x2C: {  // image: descriptor, local colour table, LZW code size, sub-blocks
        constexpr std::size_t kImageDescriptorBytes = 10;
        if (gif.size() - at < kImageDescriptorBytes) return pixels;
        const int width = gif[at + 5] | gif[at + 6] << 8;
        const int height = gif[at + 7] | gif[at + 8] << 8;
        pixels += std::int64_t{width} * height;
        at += kImageDescriptorBytes + colourTableBytes(gif[at + 9]) + 1;
        skipSubBlocks();
        break;
      }
      case 0x3B:  // trailer
        return pixels;
      default:
        return std::nullopt;
    }
  }
  return pixels;
}

// Leptonica keeps 1, 2 and 4 bpp and colormapped images packed; libvips
// takes 8-bit grey, 16-bit grey and 8-bit RGB(A), so the others are widened.
// 1 bpp ink is 1, and comes out black (0) on white (255).
PixPtr widened(PIX* pix) {
  if (PIXCMAP* colormap = pixGetColormap(pix)) {
    l_int32 opaque = 1;
    pixcmapIsOpaque(colormap, &opaque);
    return PixPtr(pixRemoveColormap(pix, opaque != 0 ? REMOVE_CMAP_TO_FULL_COLOR : REMOVE_CMAP_WITH_ALPHA));
  }
  if (pixGetDepth(pix) < 8) return PixPtr(pixConvertTo8(pix, 0));
  return PixPtr(pixClone(pix));
}

// Leptonica stores samples big-endian within 32-bit words; its accessors
// undo that.
void unpackRow(const l_uint32* line, int width, int depth, int bands, std::uint8_t* row) {
  for (int x = 0; x < width; ++x) {
    if (depth == 8) {
      row[x] = static_cast<std::uint8_t>(GET_DATA_BYTE(line, x));
    } else if (depth == 16) {
      const auto sample = static_cast<std::uint16_t>(GET_DATA_TWO_BYTES(line, x));
      std::memcpy(row + 2 * x, &sample, sizeof sample);
    } else {
      l_int32 red = 0, green = 0, blue = 0, alpha = 0;
      extractRGBAValues(line[x], &red, &green, &blue, &alpha);
      const std::uint8_t rgba[] = {std::uint8_t(red), std::uint8_t(green), std::uint8_t(blue), std::uint8_t(alpha)};
      std::memcpy(row + std::size_t(bands) * x, rgba, std::size_t(bands));
    }
  }
}

std::optional<Image> imageFromPix(PIX* decoded) {
  const PixPtr pix(widened(decoded));
  if (!pix) return std::nullopt;
  const l_int32 width = pixGetWidth(pix.get()), height = pixGetHeight(pix.get()), depth = pixGetDepth(pix.get());
  if (depth != 8 && depth != 16 && depth != 32) return std::nullopt;
  const int bands = depth != 32 ? 1 : pixGetSpp(pix.get()) == 4 ? 4 : 3;
  const VipsInterpretation interpretation = depth == 32   ? VIPS_INTERPRETATION_sRGB
                                            : depth == 16 ? VIPS_INTERPRETATION_GREY16
                                                          : VIPS_INTERPRETATION_B_W;
  Image image(vips_image_new_memory());
  vips_image_init_fields(image.vips(), width, height, bands, depth == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR,
                         VIPS_CODING_NONE, interpretation, 1.0, 1.0);
  std::vector<std::uint8_t> row(VIPS_IMAGE_SIZEOF_LINE(image.vips()));
  const l_uint32* data = pixGetData(pix.get());
  const auto wordsPerLine = static_cast<std::size_t>(pixGetWpl(pix.get()));
  for (int y = 0; y < height; ++y) {
    unpackRow(data + y * wordsPerLine, width, depth, bands, row.data());
    if (vips_image_write_line(image.vips(), y, row.data()) != 0) return std::nullopt;
  }
  return image;
}

class LeptonicaImageSource final : public ImageSource {
 public:
  explicit LeptonicaImageSource(Bytes file) : file_(std::move(file)) {}

  // Only the first image is read (Leptonica gives page 0 of a TIFF and the
  // first frame of a GIF), and orientation tags are not applied.
  std::optional<Image> imageAtIndex(std::size_t index) override {
    // Leptonica tells formats apart by their first 12 bytes, reading them
    // whatever the size it is given, and decodes nothing shorter.
    constexpr std::size_t kFormatSniffBytes = 12;
    if (index != 0 || file_.size() < kFormatSniffBytes) return std::nullopt;
    l_int32 format = IFF_UNKNOWN;
    findFileFormatBuffer(file_.data(), &format);
    if (format == IFF_GIF) {
      const std::optional<std::int64_t> pixels = gifFramePixels(file_);
      if (!pixels || *pixels > kMaxPixelBufferPixels) return std::nullopt;
    }
    l_int32 width = 0, height = 0;
    if (pixReadHeaderMem(file_.data(), file_.size(), nullptr, &width, &height, nullptr, nullptr, nullptr) != 0 ||
        exceedsPixelBufferLimit(width, height))
      return std::nullopt;
    const PixPtr pix(pixReadMem(file_.data(), file_.size()));
    if (!pix) return std::nullopt;
    return imageFromPix(pix.get());
  }

 private:
  Bytes file_;
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
  const std::optional<RegularFile> file = openRegularFile(path);
  // An empty file holds no image, and libvips 8.14 aborts on one: it cannot
  // map zero bytes, falls back to reading it as a pipe, and fails an assertion.
  if (!file || file->size == 0) return nullptr;
  if (isIsoMediaFile(*file)) loadHeifDecoder();
  // The source reads through its own duplicate of the checked descriptor.
  const std::unique_ptr<VipsSource, SourceUnref> source(vips_source_new_from_descriptor(file->descriptor.get()));
  if (!source) return nullptr;
  const auto* loader = static_cast<const VipsForeignLoadClass*>(
      vips_foreign_map("VipsForeignLoad", trustedLoaderClaiming, source.get(), nullptr));
  VipsImage* header = nullptr;
  if (loader == nullptr || vips_source_rewind(source.get()) != 0 ||
      vips_call(VIPS_OBJECT_CLASS(loader)->nickname, source.get(), &header, "access", VIPS_ACCESS_SEQUENTIAL,
                nullptr) != 0)
    return nullptr;
  return std::make_unique<VipsImageObject>(Image(header));
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
  if (!file) return nullptr;
  std::optional<Bytes> bytes = readWhole(*file);
  if (!bytes) return nullptr;
  return std::make_unique<LeptonicaImageSource>(std::move(*bytes));
}

}  // namespace tarnwick
