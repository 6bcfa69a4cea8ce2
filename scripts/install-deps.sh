#!/usr/bin/env bash
# Installs the Debian 12 packages this project needs (run as root).
#
# Usage: scripts/install-deps.sh [build|all]
#   build  only what building and running the program need
#   all    (default) also everything the tests, fuzzing, benchmarks, packaging and the
#          Windows build under Wine need, and the npm packages of the interop and bundle tests
set -euo pipefail
cd "$(dirname "$0")/.."

choice=${1:-all}
case "$choice" in
  build | all) ;;
  *)
    echo "usage: scripts/install-deps.sh [build|all]" >&2
    exit 2
    ;;
esac

build_packages=(
  build-essential cmake ninja-build pkg-config
  nlohmann-json3-dev libicu-dev libssl-dev
  libpng-dev libjpeg62-turbo-dev libstb-dev
  # the program's memory allocator
  libmimalloc-dev
  # the desktop clipboard (the X11 CLIPBOARD selection)
  libxcb1-dev
  libxau-dev
)
test_packages=(
  # unit tests, black-box tests, benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev python3 python3-pytest
  # the media tests render with FFmpeg
  ffmpeg
  # the clipboard tests: a virtual X server and another program on its clipboard
  xvfb xclip
  # fuzzing (the fuzz preset's clang++ comes with the clang package) and formatting
  clang clang-14 libclang-rt-14-dev clang-format
  # the Windows target and its test runner (wineboot and winepath are in wine)
  g++-mingw-w64-x86-64-posix wine64 wine
  # the interop test: Debian 12 gives Node.js 18 with its npm
  nodejs npm
  # the views test: a real browser, driven headless (the shell alone, no desktop browser)
  chromium-headless-shell
  # packaging: dpkg-shlibdeps (with file) computes the Debian package's dependencies; man
  # checks the manual page
  dpkg-dev file man-db groff-base
)

packages=("${build_packages[@]}")
[ "$choice" = all ] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  # A Node.js of another origin that carries its own npm serves the interop test as well.
  if [ "$p" = npm ] && command -v npm >/dev/null 2>&1; then continue; fi
  if [ "$p" = nodejs ] && command -v node >/dev/null 2>&1; then continue; fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs a step with its output kept aside; a failing step says what failed and shows the tail.
step() {
  local what=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    echo "install-deps: $what failed ($*); its last lines:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  echo "install-deps: installing ${missing[*]}"
  step "apt-get update" apt-get update -q
  step "apt-get install" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The MCP SDK clients for the interop test, pinned by the lock file.
if [ "$choice" = all ] && [ -f tests/interop/package-lock.json ]; then
  step "npm ci (tests/interop)" npm ci --prefix tests/interop --no-audit --no-fund --loglevel=error
fi
# The bundle tool (mcpb) and the official MCP client that check the MCP bundles, pinned by
# the lock file.
if [ "$choice" = all ] && [ -f tests/bundle/package-lock.json ]; then
  step "npm ci (tests/bundle)" npm ci --prefix tests/bundle --no-audit --no-fund --loglevel=error
fi
# The views test's browser driver, the MCP Apps host bridge, its bundler and the MCP client,
# pinned by the lock file.
if [ "$choice" = all ] && [ -f tests/views/package-lock.json ]; then
  step "npm ci (tests/views)" npm ci --prefix tests/views --no-audit --no-fund --loglevel=error
fi
# The Windows FFmpeg build the media tests use under Wine, pinned by its lock file. The
# package's install script would only pick a build for this platform: it is not run.
if [ "$choice" = all ] && [ -f tests/e2e/ffmpeg-win/package-lock.json ]; then
  step "npm ci (tests/e2e/ffmpeg-win)" npm ci --prefix tests/e2e/ffmpeg-win --force \
    --ignore-scripts --no-audit --no-fund --loglevel=error
fi
