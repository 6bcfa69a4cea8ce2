#!/usr/bin/env bash
# Builds the Windows executable with the mingw-w64 cross compiler, checks the Windows zip and
# runs the black-box suite against the executable under Wine, in a fresh Wine prefix that is
# removed afterwards.
#
# Usage: scripts/test-windows.sh [pytest arguments...]   (default: the whole tests/e2e suite)
# Needs: cmake, ninja, g++-mingw-w64-x86-64-posix, wine64, googletest (sources), python3-pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/wine.sh
source "$root/scripts/wine.sh"
wine_without_aslr "$0" "$@"

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

wine_start

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
