#!/usr/bin/env bash
# Builds and runs every test: the Linux build (unit, black-box, interop), what users install
# (cmake --install, the Debian package, the manual page), the same tests under ASan and UBSan,
# a bounded fuzzing run, the Windows build's zip and black-box suite under Wine, and the MCP
# bundles made from the release and Windows builds.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# A failing step names itself; the commands print their own output.
trap 'echo "test.sh: failed: $BASH_COMMAND" >&2' ERR
# Configures quietly, but shows the whole output when configuring fails.
configure() {
  local out
  if ! out=$(cmake --preset "$1" 2>&1); then
    printf '%s\n' "$out" | tail -n 40 >&2
    return 1
  fi
}

echo "== Include floors (no file includes one of a floor above its own)"
scripts/include-floors.py

echo "== Linux build and tests"
configure dev
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j 1

echo "== Install, Debian package and manual page (release build)"
scripts/test-packages.sh

echo "== Sanitizers (ASan, UBSan)"
configure sanitize
cmake --build --preset sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset sanitize -j 1 -E interop

echo "== Fuzzing (bounded)"
scripts/fuzz.sh 60

echo "== Windows build under Wine"
scripts/test-windows.sh

echo "== MCP bundles (release and Windows builds; the .exe under Wine)"
scripts/test-bundles.sh
