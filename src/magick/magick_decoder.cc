// The decoder child for PSD (the composite), DDS, PCX, SGI, XPM and Windows
// icons and cursors (the largest image), through ImageMagick's own readers. ImageMagick is not fit to read hostile files in the tool's
// process; here it runs alone, under the child's limits and its own.
#include <magick/MagickCore.h>

#include <memory>
#include <string>

#include "isolation/decoder_child.h"

namespace tarnwick {
namespace {

constexpr std::string_view kFormats[] = {"PSD", "DDS", "PCX", "SGI", "XPM", "ICO"};

// An icon file's directory counts its images; every one is decoded to find
// the largest, so no more than this many.
constexpr unsigned kMaxIcons = 256;

unsigned iconCount(const std::vector<std::uint8_t>& file) { return file.size() < 6 ? 0 : file[4] | file[5] << 8; }

// The first image, or for icons the largest (the first of those).
const Image* chosen(const Image* list, std::string_view format) {
  if (format != "ICO") return list;
  const Image* largest = list;
  for (const Image* image = list; image != nullptr; image = image->next)
    if (image->columns * image->rows > largest->columns * largest->rows) largest = image;
  return largest;
}

template <typename T, T* (*destroy)(T*)>
struct Destroy {
  void operator()(T* object) const { destroy(object); }
};
using ExceptionPtr = std::unique_ptr<ExceptionInfo, Destroy<ExceptionInfo, DestroyExceptionInfo>>;
using ImageInfoPtr = std::unique_ptr<ImageInfo, Destroy<ImageInfo, DestroyImageInfo>>;
using ImagePtr = std::unique_ptr<Image, Destroy<Image, DestroyImageList>>;

// ImageMagick's own limits, which its readers check from the header before
// they allocate the pixels: the pixel buffer's, in memory only.
void limitImageMagick() {
  const auto pixels = static_cast<MagickSizeType>(kMaxPixelBufferPixels);
  SetMagickResourceLimit(AreaResource, pixels);
  SetMagickResourceLimit(WidthResource, pixels);
  SetMagickResourceLimit(HeightResource, pixels);
  SetMagickResourceLimit(DiskResource, 0);
  SetMagickResourceLimit(ThreadResource, 1);
}

std::optional<DecodedPixels> decode(const std::vector<std::uint8_t>& file, std::string_view format) {
  bool known = false;
  for (const std::string_view name : kFormats) known = known || name == format;
  if (!known || file.empty() || (format == "ICO" && iconCount(file) > kMaxIcons)) return std::nullopt;
  const ExceptionPtr exception(AcquireExceptionInfo());
  const std::string name(format);
  // Only readers that take the bytes from memory: the others would write
  // them to a temporary file first.
  const MagickInfo* reader = GetMagickInfo(name.c_str(), exception.get());
  if (reader == nullptr || GetMagickBlobSupport(reader) == MagickFalse) return std::nullopt;
  const ImageInfoPtr info(AcquireImageInfo());
  // The format is named, so ImageMagick does not guess another from the bytes.
  CopyMagickString(info->filename, (name + ":").c_str(), MaxTextExtent);
  CopyMagickString(info->magick, name.c_str(), MaxTextExtent);
  if (format != "ICO") {
    info->scene = 0;
    info->number_scenes = 1;
  }
  const ImagePtr list(BlobToImage(info.get(), file.data(), file.size(), exception.get()));
  if (!list || exception->severity >= ErrorException) return std::nullopt;
  Image* image = const_cast<Image*>(chosen(list.get(), format));
  if (!fitsPixelLimit(image->columns, image->rows) || TransformImageColorspace(image, sRGBColorspace) == MagickFalse)
    return std::nullopt;
  DecodedPixels pixels{std::uint32_t(image->columns), std::uint32_t(image->rows), image->matte ? 4U : 3U, {}};
  pixels.samples.resize(std::size_t{pixels.width} * pixels.height * pixels.bands);
  if (ExportImagePixels(image, 0, 0, image->columns, image->rows, pixels.bands == 4 ? "RGBA" : "RGB",
                        CharPixel, pixels.samples.data(), exception.get()) == MagickFalse)
    return std::nullopt;
  return pixels;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
  MagickCoreGenesis(argv[0], MagickFalse);
  tarnwick::limitImageMagick();
  tarnwick::runDecoderChild(argc, argv, tarnwick::decode);
}
