#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12 (run as root).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # build
  build-essential cmake ninja-build ccache pkg-config git
  nlohmann-json3-dev libicu-dev libssl-dev
  # tests, fuzzing, benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev clang-format
  python3 python3-pytest nodejs npm
  # the Windows target and its test runner
  g++-mingw-w64-x86-64-posix wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The MCP SDK clients for the interop test, pinned by the lock file.
if [ -f tests/interop/package-lock.json ]; then
  npm ci --prefix tests/interop --no-audit --no-fund --loglevel=error
fi
