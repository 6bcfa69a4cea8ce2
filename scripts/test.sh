#!/usr/bin/env bash
# Builds and runs every test: the Linux build (unit, black-box, interop), what users install
# (cmake --install, the Debian package, the manual page), the same tests under ASan and UBSan,
# the clipboard's tests under ThreadSanitizer, a bounded fuzzing run, the Windows build's zip
# and black-box suite under Wine, and the MCP bundles made from the release and Windows builds.
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

echo "== ThreadSanitizer (the clipboard: the X11 connect's thread, cancels from the session)"
configure tsan
cmake --build --preset tsan -j "$jobs"
export TSAN_OPTIONS=halt_on_error=1:exitcode=66
build/tsan/tests/unit_tests --gtest_filter='Clipboard*:Waits*:Session*:Protocol*'
(cd tests/e2e && VFT_EXE="$PWD/../../build/tsan/veymora-free-tools" \
  VFT_TOOLS_DIR="$PWD/../../build/tsan/tests" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  test_clipboard.py test_session.py test_session_control.py)
unset TSAN_OPTIONS

echo "== Fuzzing (bounded)"
scripts/fuzz.sh 60

echo "== Windows build under Wine"
scripts/test-windows.sh

echo "== MCP bundles (release and Windows builds; the .exe under Wine)"
scripts/test-bundles.sh
