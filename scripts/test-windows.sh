#!/usr/bin/env bash
# Builds the Windows executable with the mingw-w64 cross compiler and runs the black-box
# suite against it under Wine, in a fresh Wine prefix that is removed afterwards.
#
# Usage: scripts/test-windows.sh [pytest arguments...]   (default: the whole tests/e2e suite)
# Needs: cmake, ninja, g++-mingw-w64-x86-64-posix, wine64, googletest (sources), python3-pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/windows"
cd "$root"

cmake --preset windows
cmake --build --preset windows --target veymora-free-tools vft_test_tools

# Debian keeps the 64-bit loader out of PATH when the 32-bit one is not installed.
if ! command -v wine64 >/dev/null 2>&1; then
  for dir in /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin; do
    if [ -x "$dir/wine64" ]; then
      PATH="$dir:$PATH"
      break
    fi
  done
fi
command -v wine64 >/dev/null 2>&1 || { echo "wine64 is not installed" >&2; exit 1; }

export WINEDEBUG=-all
# Wine converts command lines and paths with the locale's character set.
export LC_ALL=C.UTF-8
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vft-wine.XXXXXX")
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.log"
}
trap cleanup EXIT

# Start the wineserver and Wine's background services (services.exe and those it starts)
# now, with their output on /dev/null, and keep them for the whole run: each program start
# stays quick, and no service is started by a program under test, whose pipes it would
# inherit and hold open after the program has ended.
for tool in wineserver wineboot winepath; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed (Debian package wine)" >&2; exit 1; }
done
# Their output goes to a log that is shown when a step fails.
winelog="$WINEPREFIX.log"
wine_step() {
  if ! "$@" </dev/null >>"$winelog" 2>&1; then
    echo "test-windows: '$*' failed; its last lines:" >&2
    tail -n 30 "$winelog" >&2
    exit 1
  fi
}
wine_step wineserver -p
# No Mono or Gecko installers: the prefix only runs console programs.
wine_step env WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i

# The suite passes host paths to the program as Z:\... (the Z: drive maps the host's root).
probe=$(winepath -w "$root/tests/e2e" 2>/dev/null)
expected="Z:$(printf '%s' "$root/tests/e2e" | tr '/' '\\')"
if [ "$probe" != "$expected" ]; then
  echo "unexpected Wine path mapping: $probe (expected $expected)" >&2
  exit 1
fi

# Unit tests of the Win32 layer, then the black-box suite against the .exe.
wine64 "$build/windows_unit_tests.exe" --gtest_brief=1

export VFT_WINE=1
export VFT_EXE="$build/veymora-free-tools.exe"
export VFT_TOOLS_DIR="$build"
if [ "$#" -eq 0 ]; then
  set -- tests/e2e
fi
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"
