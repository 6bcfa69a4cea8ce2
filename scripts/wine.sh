# Sourced by the scripts that run the Windows program under Wine (test-windows.sh,
# test-bundles.sh). Needs wine64 and wine (wineserver, wineboot, winepath).
#
#   wine_without_aslr "$0" "$@"   first thing in the script: runs it again without ASLR
#   wine_start                     a fresh Wine prefix ($WINEPREFIX), removed when the script
#                                  exits, with its services and desktop kept up for the run
#   wine_step COMMAND...           runs a Wine command with its output in the prefix's log,
#                                  which is shown when it fails

# Debian's wine64 comes without Wine's preloader, which reserves the low addresses that
# Windows programs expect before anything else is mapped. With address-space randomisation,
# about one start in a few thousand finds the shared user data page taken ("failed to map
# the shared user data: c0000018", hidden by WINEDEBUG=-all) and ends with status 1 before
# the program runs. Without randomisation every start gets the same, working layout; the
# setting is inherited by everything the script starts.
wine_without_aslr() {
  local script=$1
  shift
  if [ "${VFT_WINE_NO_ASLR:-}" != 1 ]; then
    exec env VFT_WINE_NO_ASLR=1 setarch "$(uname -m)" --addr-no-randomize bash "$script" "$@"
  fi
}

wine_step() {
  if ! "$@" </dev/null >>"$WINEPREFIX.log" 2>&1; then
    echo "$(basename "$0"): '$*' failed; its last lines:" >&2
    tail -n 30 "$WINEPREFIX.log" >&2
    exit 1
  fi
}

wine_cleanup() {
  [ -n "${wine_desktop_keeper:-}" ] && exec {wine_desktop_keeper}>&-
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.log"
}

wine_start() {
  # Debian keeps the 64-bit loader out of PATH when the 32-bit one is not installed.
  if ! command -v wine64 >/dev/null 2>&1; then
    local dir
    for dir in /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin; do
      if [ -x "$dir/wine64" ]; then
        PATH="$dir:$PATH"
        break
      fi
    done
  fi
  command -v wine64 >/dev/null 2>&1 || { echo "wine64 is not installed" >&2; exit 1; }
  local tool
  for tool in wineserver wineboot winepath; do
    command -v "$tool" >/dev/null 2>&1 ||
      { echo "$tool is not installed (Debian package wine)" >&2; exit 1; }
  done

  export WINEDEBUG=-all
  # Without a display Wine keeps the clipboard itself, shared by the programs of the prefix:
  # the clipboard tests need no X server, and one that is set must not take part.
  unset DISPLAY WAYLAND_DISPLAY
  # Wine converts command lines and paths with the locale's character set.
  export LC_ALL=C.UTF-8
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vft-wine.XXXXXX")
  trap wine_cleanup EXIT

  # Start the wineserver and Wine's background services (services.exe and those it starts)
  # now, with their output in the log, and keep them for the whole run: each program start
  # stays quick, and no service is started by a program under test, whose pipes it would
  # inherit and hold open after the program has ended.
  wine_step wineserver -p
  # No Mono or Gecko installers: the prefix only runs console programs.
  wine_step env WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i

  # Wine closes the desktop a moment after its last user process has ended, and explorer.exe
  # with it; the next program that loads user32 (every one does: crypt32 and shell32 import
  # it) then starts explorer.exe and its devices again, handing them its own standard
  # streams. That costs seconds per program, and under load the restart fails or crashes
  # into the program's standard error ("Unhandled page fault ... starting debugger"). One
  # idle cmd.exe, reading a pipe that stays open until the script ends, keeps the desktop up.
  exec {wine_desktop_keeper}> >(exec wine64 cmd.exe >/dev/null 2>&1)
}
