#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each in turn for SECONDS on the
# generated seeds (plus anything already in the corpus directories under
# WORK). Fails on the first crash, leak, timeout or memory blow-up, leaving
# the input in WORK/artifacts. Usage: fuzz/run.sh SECONDS [WORK]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=$1
work=${2:-build-fuzz/runs}

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DTARNWICK_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz --target image_intake_fuzzer report_fuzzer detection_fuzzer >/dev/null

mkdir -p "$work/artifacts" "$work/report_fuzzer" "$work/detection_fuzzer"
fuzz/make_seeds.sh "$work/image_intake_fuzzer"
for fuzzer in image_intake_fuzzer report_fuzzer detection_fuzzer; do
  echo "-- $fuzzer for ${seconds}s"
  # Decoder chatter goes to the log with the fuzzer's own report.
  if ! LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp build-fuzz/$fuzzer -max_total_time="$seconds" \
      -timeout=45 -max_len=16384 -print_final_stats=1 -artifact_prefix="$work/artifacts/$fuzzer-" \
      "$work/$fuzzer" >"$work/$fuzzer.log" 2>&1; then
    grep -a -A40 -e '^==.*ERROR' -e 'SUMMARY' -e 'deadly signal' -e 'timeout' "$work/$fuzzer.log" | head -80
    exit 1
  fi
  grep -a -e '^stat::number_of_executed_units' -e '^stat::peak_rss_mb' "$work/$fuzzer.log"
done
