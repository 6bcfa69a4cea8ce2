#!/usr/bin/env bash
# Builds and runs every test: the Linux build (unit, black-box, interop), the same tests under
# ASan and UBSan, a bounded fuzzing run, and the Windows build's black-box suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== Linux build and tests"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j 1

echo "== Sanitizers (ASan, UBSan)"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset sanitize -j 1 -E interop

echo "== Fuzzing (bounded)"
scripts/fuzz.sh 60

echo "== Windows build under Wine"
scripts/test-windows.sh
