#!/usr/bin/env bash
# Checks what users install, from the release build: `cmake --install` into a temporary
# prefix, the Debian package (its metadata, its contents, the program unpacked from it), the
# manual page and the README's host configurations. The Windows zip is checked by
# scripts/test-windows.sh, in its Wine prefix.
# Needs: cmake, ninja, dpkg-dev (dpkg-shlibdeps), file, man-db, groff-base, python3.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

work=$(mktemp -d "${TMPDIR:-/tmp}/vft-packages.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/log

fail() {
  echo "test-packages: $*" >&2
  exit 1
}
# Runs a step with its output kept aside; a failing step says what failed and shows the tail.
step() {
  local what=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    echo "test-packages: $what failed ($*); its last lines:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}

version=$(sed -n 's/^project(veymora_free_tools VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

step "configuring the release build" cmake --preset release
step "building the release build" cmake --build --preset release

# One session with the program $1 (initialize, tools/list, one call that saves a record),
# in a data home of its own; the responses and the saved store are checked.
check_session() {
  local program=$1 home
  home=$(mktemp -d "$work/home.XXXXXX")
  local responses status=0
  responses=$(VEYMORA_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" "$program" bookmarks <<'EOF'
{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"test-packages","version":"1"}}}
{"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":2,"method":"tools/list"}
{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"save_bookmark","arguments":{"title":"Recipes","url":"https://example.org/recipes"}}}
EOF
  ) || status=$?
  [ "$status" -eq 0 ] || fail "$program: the session exited with status $status"
  python3 - "$program" "$home/data/bookmarks/records.json" "$responses" <<'EOF'
import json, sys
program, store, text = sys.argv[1:]
def check(ok, what):
    if not ok:
        sys.exit(f"test-packages: {program}: {what}; the responses were:\n{text}")
lines = [json.loads(line) for line in text.splitlines()]
check([r.get("id") for r in lines] == [1, 2, 3], "not one response to each request")
check(lines[0].get("result", {}).get("serverInfo", {}).get("name") == "Veymora bookmarks",
      "initialize did not name the bookmarks app")
catalog = json.load(open("catalog/catalog.json"))
listed = [t["name"] for t in lines[1].get("result", {}).get("tools", [])]
check(listed == [t["name"] for t in catalog["bookmarks"]], "tools/list differs from the catalogue")
result = lines[2].get("result", {})
check(result.get("isError") is False, "save_bookmark failed")
saved = json.load(open(store))["records"]
check([r["title"] for r in saved] == ["Recipes"], "the bookmark is not in the store")
EOF
}

# The manual page renders without warnings, carries the project's version and names every
# tool of the catalogue.
check_manual() {
  local page=$1 warnings source
  source=$(zcat -f "$page") || fail "$page cannot be read"
  grep -q "^\.TH .* \"veymora-free-tools $version\"" <<<"$source" ||
    fail "$page does not name version $version in its .TH line"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) ||
    fail "man -l $page failed: $warnings"
  [ -z "$warnings" ] || fail "man -l $page warns:"$'\n'"$warnings"
  python3 -c '
import json, re, sys
page = sys.stdin.read()
names = [t["name"] for tools in json.load(open("catalog/catalog.json")).values() for t in tools]
missing = [name for name in names if not re.search(r"\b" + name + r"\b", page)]
if missing:
    sys.exit("test-packages: the manual page lacks the tools " + ", ".join(sorted(set(missing))))
' <<<"$source"
}

echo "test-packages: cmake --install"
prefix=$work/prefix
step "cmake --install" cmake --install build/release --prefix "$prefix"
for f in bin/veymora-free-tools share/doc/veymora-free-tools/README.md \
  share/doc/veymora-free-tools/LICENSE share/man/man1/veymora-free-tools.1.gz; do
  [ -f "$prefix/$f" ] || fail "cmake --install did not install $f"
done
check_session "$prefix/bin/veymora-free-tools"
check_manual "$prefix/share/man/man1/veymora-free-tools.1.gz"

echo "test-packages: the Debian package"
rm -f build/release/veymora-free-tools_*.deb
step "cpack --preset deb" cpack --preset deb
deb=build/release/veymora-free-tools_${version}_amd64.deb
[ -f "$deb" ] || fail "cpack made no $deb"
control=$(dpkg-deb -I "$deb" control) || fail "dpkg-deb -I $deb failed"
field() { sed -n "s/^$1: //p" <<<"$control"; }
[ "$(field Package)" = veymora-free-tools ] || fail "Package is not veymora-free-tools:"$'\n'"$control"
[ "$(field Version)" = "$version" ] || fail "Version is not $version:"$'\n'"$control"
[ "$(field Architecture)" = amd64 ] || fail "Architecture is not amd64:"$'\n'"$control"
for dependency in libicu72 libssl3 libstdc++6; do
  grep -Eq "(^|, )${dependency//+/\\+}( |,|$)" <<<"$(field Depends)" ||
    fail "Depends does not name $dependency:"$'\n'"$control"
done
[ "$(field Recommends)" = ffmpeg ] || fail "Recommends is not ffmpeg:"$'\n'"$control"

contents=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c $deb failed"
files=$(awk '$1 !~ /^d/ { print $1, $6 }' <<<"$contents" | sort)
expected=$(sort <<'EOF'
-rwxr-xr-x ./usr/bin/veymora-free-tools
-rw-r--r-- ./usr/share/doc/veymora-free-tools/LICENSE
-rw-r--r-- ./usr/share/doc/veymora-free-tools/README.md
-rw-r--r-- ./usr/share/man/man1/veymora-free-tools.1.gz
EOF
)
[ "$files" = "$expected" ] || fail "the package holds other files than expected:"$'\n'"$contents"

unpacked=$work/unpacked
dpkg-deb -x "$deb" "$unpacked" || fail "dpkg-deb -x $deb failed"
check_session "$unpacked/usr/bin/veymora-free-tools"
check_manual "$unpacked/usr/share/man/man1/veymora-free-tools.1.gz"

echo "test-packages: the README's host configurations"
python3 - <<'EOF'
import json, re, sys
blocks = re.findall(r"```json\n(.*?)```", open("README.md").read(), re.S)
if not blocks:
    sys.exit("test-packages: README.md shows no host configuration")
for block in blocks:
    try:
        json.loads(block)
    except ValueError as e:
        sys.exit(f"test-packages: a README.md JSON example does not parse ({e}):\n{block}")
EOF
echo "test-packages: all passed"
