#!/usr/bin/env bash
# Word accuracy and wall time of tarnwick against the tesseract command line
# it is built on, over the benchmark documents.
#
# usage: bench/compare_with_cli.sh [-d DOCUMENTS_DIR] [-o OUT_DIR] [TARNWICK_BINARY]
#   DOCUMENTS_DIR   images with STEM.truth.hocr beside them (../shared/bench/documents)
#   OUT_DIR         where the results go, replacing earlier ones (bench/out)
#   TARNWICK_BINARY the tool to time (build/tarnwick)
#
# Images are run one at a time, the three systems alternating on each image,
# so a slow spell on the machine falls on all of them alike. Recognized text
# goes to OUT_DIR/SYSTEM/STEM.txt, scores to OUT_DIR/SYSTEM.score.txt.
set -euo pipefail

documents= out=
while getopts "d:o:" option; do
  case $option in
    d) documents=$(realpath -- "$OPTARG") ;;
    o) out=$(realpath -- "$OPTARG") ;;
    *) sed -n '5,8p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
tool=${1:+$(realpath -- "$1")}
# Defaults and outputs are relative to the repository root.
cd "$(dirname "$0")/.."
documents=${documents:-../shared/bench/documents}
tool=${tool:-build/tarnwick}
out=${out:-bench/out}
scorer=../shared/bench/wordscore.py

[[ -x $tool ]] || { echo "no executable tool at $tool" >&2; exit 1; }
[[ -d $documents ]] || { echo "no documents directory at $documents" >&2; exit 1; }
command -v tesseract >/dev/null || { echo "tesseract is not installed" >&2; exit 1; }

systems=(tarnwick tesseract-1-thread tesseract)
labels=("tarnwick" "OMP_THREAD_LIMIT=1 tesseract" "tesseract")
for system in "${systems[@]}"; do
  rm -rf "${out:?}/$system" "$out/$system.stderr" "$out/$system.score.txt"
  mkdir -p "$out/$system"
done
declare -A seconds=([tarnwick]=0 [tesseract-1-thread]=0 [tesseract]=0)

# Runs the system on one image, its standard output to a file; adds the
# wall time to the system's total.
timed() {
  local system=$1 output=$2
  shift 2
  local start=$EPOCHREALTIME
  "$@" >"$output" 2>>"$out/$system.stderr"
  seconds[$system]=$(python3 -c "print(${seconds[$system]} + $EPOCHREALTIME - $start)")
}

count=0
for image in "$documents"/*; do
  [[ -f $image && $image != *.hocr ]] || continue
  name=$(basename "$image")
  stem=${name%%.*}
  timed tarnwick "$out/tarnwick/$stem.json" "$tool" "$image"
  timed tesseract-1-thread "$out/tesseract-1-thread/$stem.txt" env OMP_THREAD_LIMIT=1 tesseract "$image" stdout
  timed tesseract "$out/tesseract/$stem.txt" tesseract "$image" stdout
  python3 -c 'import json, sys; sys.stdout.write(json.load(sys.stdin)["text"])' \
    <"$out/tarnwick/$stem.json" >"$out/tarnwick/$stem.txt"
  count=$((count + 1))
done
[[ $count -gt 0 ]] || { echo "no images in $documents" >&2; exit 1; }
[[ -s $out/tarnwick.stderr ]] && echo "warning: tarnwick wrote to standard error, see $out/tarnwick.stderr" >&2

printf '%-30s %14s %16s\n' system "mean word F1" "wall s ($count)"
for i in "${!systems[@]}"; do
  system=${systems[$i]}
  python3 "$scorer" "$documents" "$out/$system" >"$out/$system.score.txt"
  f1=$(sed -n 's/^MEAN over [0-9]*: f1=\([0-9.]*\)%.*/\1/p' "$out/$system.score.txt")
  printf '%-30s %12s %% %16.2f\n' "${labels[$i]}" "$f1" "${seconds[$system]}"
done
