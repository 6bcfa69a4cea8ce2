#!/usr/bin/env bash
# Builds the Windows executable with the mingw-w64 cross compiler, checks the Windows zip and
# runs the black-box suite against the executable under Wine, in a fresh Wine prefix that is
# removed afterwards.
#
# Usage: scripts/test-windows.sh [pytest arguments...]   (default: the whole tests/e2e suite)
# Needs: cmake, ninja, g++-mingw-w64-x86-64-posix, wine64, googletest (sources), python3-pytest.
set -euo pipefail

# Debian's wine64 comes without Wine's preloader, which reserves the low addresses that
# Windows programs expect before anything else is mapped. With address-space randomisation,
# about one start in a few thousand finds the shared user data page taken ("failed to map
# the shared user data: c0000018", hidden by WINEDEBUG=-all) and ends with status 1 before
# the program runs. Without randomisation every start gets the same, working layout; the
# setting is inherited by everything this script starts.
if [ "${VFT_WINE_NO_ASLR:-}" != 1 ]; then
  exec env VFT_WINE_NO_ASLR=1 setarch "$(uname -m)" --addr-no-randomize bash "$0" "$@"
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/windows"
cd "$root"

cmake --preset windows
cmake --build --preset windows --target veymora-free-tools vft_test_tools
# The zip users download (it builds nothing more: the .exe is already built).
rm -f "$build"/veymora-free-tools-*-windows-x64.zip
if ! out=$(cpack --preset windows-zip 2>&1); then
  echo "test-windows: cpack --preset windows-zip failed; its last lines:" >&2
  printf '%s\n' "$out" | tail -n 30 >&2
  exit 1
fi

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
# Without a display Wine keeps the clipboard itself, shared by the programs of the prefix:
# the clipboard tests need no X server, and one that is set must not take part.
unset DISPLAY WAYLAND_DISPLAY
# Wine converts command lines and paths with the locale's character set.
export LC_ALL=C.UTF-8
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vft-wine.XXXXXX")
cleanup() {
  [ -n "${desktop_keeper:-}" ] && exec {desktop_keeper}>&-
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

# Wine closes the desktop a moment after its last user process has ended, and explorer.exe
# with it; the next program that loads user32 (every one does: crypt32 and shell32 import
# it) then starts explorer.exe and its devices again, handing them its own standard streams.
# That costs seconds per program, and under load the restart fails or crashes into the
# program's standard error ("Unhandled page fault ... starting debugger"). One idle cmd.exe,
# reading a pipe that stays open until the script ends, keeps the desktop up for the run.
exec {desktop_keeper}> >(exec wine64 cmd.exe >/dev/null 2>&1)

# The suite passes host paths to the program as Z:\... (the Z: drive maps the host's root).
probe=$(winepath -w "$root/tests/e2e" 2>/dev/null)
expected="Z:$(printf '%s' "$root/tests/e2e" | tr '/' '\\')"
if [ "$probe" != "$expected" ]; then
  echo "unexpected Wine path mapping: $probe (expected $expected)" >&2
  exit 1
fi

# The zip holds exactly the program, README, licence and example host configuration, and
# the program unpacked from it runs.
zip_dir="$WINEPREFIX/zip"
/usr/bin/python3 - "$build" "$zip_dir" <<'EOF'
import glob, json, sys, zipfile
build, target = sys.argv[1:]
zips = glob.glob(build + "/veymora-free-tools-*-windows-x64.zip")
if len(zips) != 1:
    sys.exit(f"test-windows: expected one zip in {build}, found {zips}")
with zipfile.ZipFile(zips[0]) as z:
    names = sorted(z.namelist())
    expected = ["LICENSE", "README.md", "mcp-servers.example.json", "veymora-free-tools.exe"]
    if names != expected:
        sys.exit(f"test-windows: {zips[0]} holds {names}, expected {expected}")
    z.extractall(target)
servers = json.load(open(target + "/mcp-servers.example.json"))["mcpServers"]
apps = ["studio", "clipboard", "bookmarks", "inventory", "wallet", "media", "bills"]
if sorted(s["args"][0] for s in servers.values()) != sorted(apps) or not all(
        s["command"].endswith("\\veymora-free-tools.exe") for s in servers.values()):
    sys.exit(f"test-windows: the example configuration does not serve the seven apps: {servers}")
EOF
if ! info=$(VEYMORA_DATA_HOME=$(winepath -w "$zip_dir/data") \
  wine64 "$zip_dir/veymora-free-tools.exe" studio call get_storage_info '{}' 2>&1); then
  echo "test-windows: the .exe from the zip failed: $info" >&2
  exit 1
fi
/usr/bin/python3 -c 'import json, sys; assert json.loads(sys.argv[1])["app"] == "studio"' "$info" ||
  { echo "test-windows: the .exe from the zip answered: $info" >&2; exit 1; }
echo "test-windows: the zip holds the expected files and its program runs"

# Unit tests of the Win32 layer, then the black-box suite against the .exe.
wine64 "$build/windows_unit_tests.exe" --gtest_brief=1

# The Windows FFmpeg build the media tests render with (pinned; see scripts/install-deps.sh).
ffmpeg_win=tests/e2e/ffmpeg-win/node_modules/@ffmpeg-installer/win32-x64/ffmpeg.exe
if [ ! -e tests/e2e/ffmpeg-win/node_modules ] && command -v npm >/dev/null 2>&1; then
  npm ci --prefix tests/e2e/ffmpeg-win --force --ignore-scripts --no-audit --no-fund \
    --loglevel=error >/dev/null
fi

# Its first start in a fresh prefix is slow enough to exceed the program's 10-second
# version check; start it once now, like the services above.
if [ -e "$ffmpeg_win" ]; then
  wine_step wine64 "$ffmpeg_win" -version
fi

export VFT_WINE=1
export VFT_EXE="$build/veymora-free-tools.exe"
export VFT_TOOLS_DIR="$build"
if [ "$#" -eq 0 ]; then
  set -- tests/e2e
fi
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"
