#!/usr/bin/env bash
# Writes a small valid image of every format the tool reads into DIR, as
# fuzzing seeds. Usage: fuzz/make_seeds.sh DIR
set -euo pipefail
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

vips text "$work/ink.v" "Hi 42" --dpi 72 --font "DejaVu Sans 16"
vips invert "$work/ink.v" "$work/grey.v"
vips colourspace "$work/grey.v" "$work/rgb.v" srgb
vips bandjoin_const "$work/rgb.v" "$work/rgba.v" 128
vips linear "$work/grey.v" "$work/wide.v" 257 0 --uchar=false
vips cast "$work/wide.v" "$work/ushort.v" ushort
vips bandjoin_const "$work/ushort.v" "$work/ushortalpha.v" 65535
vips copy "$work/ushortalpha.v" "$work/grey16.v" --interpretation grey16
vips relational_const "$work/grey.v" "$work/bilevel.v" more 128
vips colourspace "$work/rgb.v" "$work/cmyk.v" cmyk
vips flip "$work/rgb.v" "$work/flipped.v" vertical
vips join "$work/rgb.v" "$work/flipped.v" "$work/pages.v" vertical
page_height=$(vipsheader -f height "$work/rgb.v")

# source image, then the seed's name with the saver's options
while read -r source seed; do
  vips copy "$work/$source.v" "$out/$seed"
done <<SEEDS
rgb png.png
rgb interlaced.png[interlace]
rgb palette.png[palette]
rgba rgba.png
grey16 grey16alpha.png
rgb baseline.jpg[Q=80]
rgb progressive.jpg[Q=80,interlace]
cmyk cmyk.jpg[strip]
rgb icc.jpg[profile=srgb]
rgb lzw.tif[compression=lzw]
bilevel fax.tif[squash,compression=ccittfax4]
pages pages.tif[page-height=$page_height]
pages animated.gif[page-height=$page_height]
rgb lossy.webp[Q=80]
rgba lossless.webp[lossless]
rgb hevc.heic[compression=hevc]
rgb av1.avif
rgb rgb.ppm
grey grey.pgm
bilevel bilevel.pbm
SEEDS

# The formats only decoder children read, made by ImageMagick and Pillow
# from the same picture: a seed for every route and variant.
vips copy "$work/rgb.v" "$work/rgb.png"
vips copy "$work/rgba.v" "$work/rgba.png"
convert=/usr/bin/convert
$convert "$work/rgb.png" "$out/v5.bmp"
$convert "$work/rgb.png" -type palette -compress RLE "bmp3:$out/rle8.bmp"
$convert "$work/rgb.png" -colors 16 "bmp3:$out/palette4.bmp"
$convert "$work/rgba.png" "bmp:$out/bitfields32.bmp"
$convert "$work/rgb.png" -define bmp:subtype=RGB565 "bmp:$out/rgb565.bmp"
$convert "$work/rgb.png" "bmp2:$out/core.bmp"
$convert "$work/rgb.png" -define icon:auto-resize=16,32 "$out/icon.ico"
$convert "$work/rgba.png" "$out/layered.psd"
$convert "$work/rgb.png" "$out/texture.dds"
$convert "$work/rgb.png" "$out/paintbrush.pcx"
$convert "$work/rgb.png" "$out/irix.sgi"
$convert "$work/rgb.png" "$out/pixmap.xpm"
$convert "$work/rgb.png" -compress piz "$out/half.exr"
/usr/bin/python3 - "$work/rgb.png" "$out" <<'PYTHON'
import sys
from PIL import Image
image = Image.open(sys.argv[1]).convert("RGB")
image.save(sys.argv[2] + "/plain.tga")
image.save(sys.argv[2] + "/rle.tga", compression="tga_rle")
image.save(sys.argv[2] + "/page.pdf", resolution=300)
PYTHON
# No encoder at hand writes RLE4: a 4x2 BMP of two rows of runs, the lower
# one alternating black and white, then the end of the bitmap.
/usr/bin/python3 - "$out/rle4.bmp" <<'PYTHON'
import struct, sys
runs = bytes([4, 0x01, 0, 0, 4, 0x11, 0, 0, 0, 1])
palette = bytes([0, 0, 0, 0, 255, 255, 255, 0])
info = struct.pack("<IiiHHIIiiII", 40, 4, 2, 1, 4, 2, len(runs), 2835, 2835, 2, 0)
start = 14 + len(info) + len(palette)
head = b"BM" + struct.pack("<IHHI", start + len(runs), 0, 0, start)
open(sys.argv[1], "wb").write(head + info + palette + runs)
PYTHON
cat >"$out/drawing.svg" <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" width="60" height="20"><text x="2" y="15" font-size="12">Hi 42</text></svg>
SVG

# A 4x2 24-bit white BMP (vips writes none): file and info headers, then two
# rows of four pixels, each row 12 bytes and so already padded.
{
  printf 'BM\x4e\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x04\x00\x00\x00\x02\x00\x00\x00'
  printf '\x01\x00\x18\x00\x00\x00\x00\x00\x18\x00\x00\x00\x13\x0b\x00\x00\x13\x0b\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\x00\x00'
  head -c 24 /dev/zero | tr '\0' '\377'
} >"$out/tiny.bmp"
