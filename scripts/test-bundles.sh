#!/usr/bin/env bash
# Makes the MCP bundles from the release and Windows builds (`cmake --build --preset mcpb`)
# and checks them as a desktop host uses them (tests/bundle/check.mjs): the bundle tool
# reads, unpacks and validates each one and works out the command a host runs, and the
# official MCP client runs sessions against it, the Linux program natively and the .exe under
# Wine, in a fresh Wine prefix that is removed afterwards.
# Needs: what scripts/test-packages.sh and scripts/test-windows.sh need, and the npm
# packages of tests/bundle (scripts/install-deps.sh installs them).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/wine.sh
source "$root/scripts/wine.sh"
wine_without_aslr "$0" "$@"
cd "$root"

fail() {
  echo "test-bundles: $*" >&2
  exit 1
}
version=$(sed -n 's/^project(veymora_free_tools VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
[ -d tests/bundle/node_modules ] ||
  fail "tests/bundle/node_modules is missing: run scripts/install-deps.sh"

rm -f build/release/veymora-free-tools-*.mcpb
for command in "cmake --preset release" "cmake --build --preset mcpb"; do
  if ! out=$($command 2>&1); then
    echo "test-bundles: $command failed; its last lines:" >&2
    printf '%s\n' "$out" | tail -n 30 >&2
    exit 1
  fi
done

wine_start
VFT_WINE=1 VFT_VERSION=$version node tests/bundle/check.mjs build/release
