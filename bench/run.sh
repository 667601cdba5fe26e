#!/usr/bin/env bash
# The benchmark: tarnwick against the single-threaded tesseract command line
# on the shared documents and receipts, on a screenshot set drawn here and on
# browser screenshots of the pages in bench/browser, both with exact ground
# truth. One command; prints the Markdown table that goes into the README and
# draws accuracy against time.
#
# usage: bench/run.sh [-k SETS] [-s SEED] [-d DOCUMENTS_DIR] [-r RECEIPTS_DIR] [-o OUT_DIR] [TARNWICK_BINARY]
#   SETS            comma-separated, of documents,screens,browser,receipts (all)
#   SEED            draws the screenshot set; another seed gives a held-back set (1)
#   DOCUMENTS_DIR   images with STEM.truth.hocr beside them (../shared/bench/documents)
#   RECEIPTS_DIR    receipt-NN.jpg with receipt-NN.txt truth (../shared/bench/receipts)
#   OUT_DIR         recognized text, per-image figures, table.md (bench/out)
#   TARNWICK_BINARY the tool to measure (build/tarnwick)
# A run of all the sets plots to bench/accuracy-vs-time.png; a run of some of
# them to OUT_DIR/accuracy-vs-time.png.
set -euo pipefail

# Other work on the machine runs niced, but with autogroup scheduling nice
# only ranks processes within one session: the benchmark runs in a session of
# its own, ranked above niced work, both systems alike.
if [[ -z ${TARNWICK_BENCH_SESSION:-} ]] && command -v setsid >/dev/null; then
  TARNWICK_BENCH_SESSION=1 exec setsid -w "$0" "$@"
fi
echo -10 2>/dev/null >/proc/self/autogroup || true

all=documents,screens,browser,receipts
sets=$all seed=1 documents= receipts= out=
while getopts "k:s:d:r:o:" option; do
  case $option in
    k) sets=$OPTARG ;;
    s) seed=$OPTARG ;;
    d) documents=$(realpath -- "$OPTARG") ;;
    r) receipts=$(realpath -- "$OPTARG") ;;
    o) out=$(realpath -m -- "$OPTARG") ;;
    *) sed -n '8,14p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
for set in ${sets//,/ }; do
  [[ ,$all, == *,$set,* ]] || { echo "unknown set '$set'; the sets are $all" >&2; exit 2; }
done
want() { [[ ,$sets, == *,$1,* ]]; }
tool=${1:+$(realpath -- "$1")}
cd "$(dirname "$0")/.."
documents=${documents:-../shared/bench/documents}
receipts=${receipts:-../shared/bench/receipts}
tool=${tool:-build/tarnwick}
out=${out:-bench/out}

# Fonts for the screenshots, and the plot; not needed to build or test.
packages=(tesseract-ocr tesseract-ocr-eng libvips-tools fonts-dejavu-core fonts-liberation2 python3-matplotlib time)
# The browser that renders the browser screenshots.
if want browser; then packages+=(chromium); fi
if dpkg-query -W -f='${db:Status-Status}\n' "${packages[@]}" 2>&1 | grep -qv '^installed$'; then
  $([[ $(id -u) -eq 0 ]] || echo sudo) apt-get install -y -q "${packages[@]}" >/dev/null
fi
# Debian's python, which has the packages above, whatever python3 is first
# on the path.
python=/usr/bin/python3

[[ -x $tool ]] || { echo "no executable tool at $tool" >&2; exit 1; }
if want documents; then
  [[ -d $documents ]] || { echo "no documents directory at $documents" >&2; exit 1; }
fi
if want receipts; then
  [[ -d $receipts ]] || { echo "no receipts directory at $receipts" >&2; exit 1; }
fi

rm -rf "${out:?}"
mkdir -p "$out"
arguments=()
if want documents; then arguments+=(--documents "$documents"); fi
if want screens; then
  "$python" bench/make_screens.py "$out/screens" "$seed"
  arguments+=(--screens "$out/screens")
fi
if want browser; then
  "$python" bench/make_browser_screens.py "$out/browser-screens"
  arguments+=(--browser "$out/browser-screens")
fi
if want receipts; then arguments+=(--receipts "$receipts"); fi
plot=$out/accuracy-vs-time.png
every=yes
for set in ${all//,/ }; do want "$set" || every=; done
if [[ $every ]]; then plot=bench/accuracy-vs-time.png; fi
"$python" bench/compare.py "$tool" "$out" "${arguments[@]}" --plot "$plot"
