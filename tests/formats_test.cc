// Every format route 3 hands to a decoder child, written at test time by
// ImageMagick or Pillow from the rendered "Hello world", reads back as that
// line through the command.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::kHelloWorldLine;
using testing::readBytes;

const testing::TempDir& scratch() {
  static const testing::TempDir dir;
  return dir;
}
std::string file(const std::string& name) { return scratch().file(name); }
bool converted(const std::string& name, const std::vector<std::string>& arguments = {},
               const std::string& prefix = "") {
  return testing::converted(file(name), arguments, prefix);
}
bool pillowSaved(const std::string& name, const std::string& options = "") {
  return testing::pillowSaved(file(name), options);
}

// A bottom-up BMP of 24-bit rows made top-down: the height negated, the rows
// in the other order. No encoder at hand writes one.
void makeTopDown(const std::string& path) {
  std::string bmp = readBytes(path);
  std::int32_t width = 0, height = 0;
  std::uint32_t pixels = 0;
  std::memcpy(&pixels, bmp.data() + 10, 4);
  std::memcpy(&width, bmp.data() + 18, 4);
  std::memcpy(&height, bmp.data() + 22, 4);
  const std::size_t stride = (std::size_t(width) * 3 + 3) / 4 * 4;
  std::string flipped = bmp.substr(0, pixels);
  for (std::int32_t row = height - 1; row >= 0; --row) flipped += bmp.substr(pixels + row * stride, stride);
  const std::int32_t topDown = -height;
  std::memcpy(flipped.data() + 22, &topDown, 4);
  std::ofstream(path, std::ios::binary) << flipped;
}

TEST(FormatsEndToEnd, EachFormatWrittenByARealEncoderReadsBackItsText) {
  // An icon's largest image holds the words; its small ones are too small to.
  const std::vector<std::string> icon = {"-resize", "256x256", "-background", "white", "-gravity", "center",
                                         "-extent", "256x256", "-define", "icon:auto-resize=16,48,256"};
  const struct {
    const char* name;
    std::function<bool(const std::string&)> encode;
  } formats[] = {
      // BMP as ImageMagick writes it by default (V5 header, palette), and
      // each header, depth and compression it can be told to use.
      {"v5-palette.bmp", [](auto& name) { return converted(name); }},
      {"v3-palette8.bmp", [](auto& name) { return converted(name, {"-type", "palette"}, "bmp3:"); }},
      {"v3-rle8.bmp", [](auto& name) { return converted(name, {"-type", "palette", "-compress", "RLE"}, "bmp3:"); }},
      {"v3-palette4.bmp", [](auto& name) { return converted(name, {"-colors", "16"}, "bmp3:"); }},
      {"v3-1bit.bmp", [](auto& name) { return converted(name, {"-monochrome"}, "bmp3:"); }},
      {"core.bmp", [](auto& name) { return converted(name, {}, "bmp2:"); }},
      {"bitfields32.bmp", [](auto& name) { return converted(name, {"-alpha", "set"}, "bmp:"); }},
      {"rgb565.bmp", [](auto& name) { return converted(name, {"-define", "bmp:subtype=RGB565"}, "bmp:"); }},
      {"top-down.bmp",
       [](auto& name) {
         if (!pillowSaved(name)) return false;
         makeTopDown(file(name));
         return true;
       }},
      // ImageMagick 6 writes Targa rows upside down; Pillow does not.
      {"plain.tga", [](auto& name) { return pillowSaved(name); }},
      {"rle.tga", [](auto& name) { return pillowSaved(name, "compression='tga_rle'"); }},
      {"icon.ico", [&](auto& name) { return converted(name, icon); }},
      // ImageMagick 6 writes a broken cursor of many sizes; a cursor file is
      // an icon file of type 2, whose hot spots sit where an icon's planes
      // and depth do.
      {"cursor.cur",
       [&](auto& name) {
         if (!converted(name, icon, "ico:")) return false;
         std::fstream cursor(file(name), std::ios::binary | std::ios::in | std::ios::out);
         cursor.seekp(2);
         cursor.put('\2');
         return bool(cursor);
       }},
      // A layer of red over the words: only the composite shows them.
      {"layered.psd", [](auto& name) { return converted(name, {"(", "-size", "90x40", "xc:red", ")"}); }},
      {"texture.dds", [](auto& name) { return converted(name); }},
      {"paintbrush.pcx", [](auto& name) { return converted(name); }},
      {"irix.sgi", [](auto& name) { return converted(name); }},
      {"pixmap.xpm", [](auto& name) { return converted(name); }},
      {"half.exr", [](auto& name) { return converted(name, {"-compress", "piz"}); }},
      {"page.pdf", [](auto& name) { return pillowSaved(name, "resolution=300"); }},
      {"drawing.svg",
       [](auto& name) {
         std::ofstream(file(name)) << R"(<?xml version="1.0"?>
<svg xmlns="http://www.w3.org/2000/svg" width="120" height="40"><rect width="120" height="40" fill="white"/>
<text x="10" y="25" font-family="DejaVu Sans" font-size="13">Hello world</text></svg>
)";
         return true;
       }},
  };
  for (const auto& [name, encode] : formats) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(encode(name));
    const testing::ToolRun run = testing::runTool({file(name)});
    EXPECT_EQ(run.err, "");
    testing::parseReportLine(run.out);
    EXPECT_EQ(run.out, kHelloWorldLine);
  }
}

}  // namespace
}  // namespace tarnwick
