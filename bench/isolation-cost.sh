#!/usr/bin/env bash
# What reading a file in a decoder child costs a run, on this machine.
# Usage: bench/isolation-cost.sh [BUILD_DIR] [RUNS]
#
# 1. Each child's floor: started on an empty file, it execs, loads its
#    libraries, limits itself, reads nothing and exits; the pipe and the wait
#    are included, as in a run. Against it, /bin/true started the same way.
# 2. A letter page with one line of text, end to end: `tarnwick page.pdf`
#    (the child renders it at 300 dpi, 2550 x 3300, and hands 25 MB of pixels
#    back) against `tarnwick page.png` holding the same pixels.
# Medians of RUNS (default 15) wall-clock times, in milliseconds.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-15}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median_ms() {  # median_ms COMMAND...: the median wall time of RUNS runs
  local times=()
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] / 1000 }'
}

: >"$work/empty"
start_child() { "$1" "$2" <"$work/empty" | cat; }
printf '%-24s %8s\n' "started on an empty file" "ms"
printf '%-24s %8s\n' "/bin/true" "$(median_ms start_child /bin/true x)"
for decoder in pixbuf:bmp magick:PSD exr:exr pdf:pdf svg:svg; do
  name=${decoder%%:*}
  printf '%-24s %8s\n' "tarnwick-decode-$name" "$(median_ms start_child "$build/tarnwick-decode-$name" "${decoder#*:}")"
done

/usr/bin/python3 - "$work" <<'PYTHON'
import sys
from PIL import Image, ImageDraw, ImageFont
page = Image.new("RGB", (2550, 3300), "white")
font = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 50)
ImageDraw.Draw(page).text((300, 300), "The quick brown fox jumps over the lazy dog.", fill="black", font=font)
page.save(sys.argv[1] + "/page.png")
page.save(sys.argv[1] + "/page.pdf", resolution=300)
PYTHON
echo
printf '%-24s %8s\n' "one letter page, end to end" "ms"
for file in page.png page.pdf; do
  printf '%-24s %8s\n' "tarnwick $file" "$(median_ms "$build/tarnwick" "$work/$file")"
done
