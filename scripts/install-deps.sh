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
  python3 python3-pytest
  # the Windows target and its test runner
  g++-mingw-w64-x86-64-posix wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js for the interop test: Debian's own packages unless a Node.js 20 or newer (which
# carries its own npm) is already there.
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if (( node_major < 20 )) || ! command -v npm >/dev/null; then
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The MCP SDK clients for the interop test, pinned by the lock file.
if [ -f tests/interop/package-lock.json ]; then
  npm ci --prefix tests/interop --no-audit --no-fund --loglevel=error
fi
