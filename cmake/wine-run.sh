#!/bin/sh
# Runs a Windows program under Wine, quietly and without any prompt: the
# prefix is VESK_WINEPREFIX (or WINEPREFIX, or build-win32/wineprefix), the
# first-run set-up is done here when the prefix is new, and the browser and
# .NET runtimes that Wine would offer to install are switched off.
# Without a program, only makes sure that the prefix exists.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
WINEPREFIX=${VESK_WINEPREFIX:-${WINEPREFIX:-$here/build-win32/wineprefix}}
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
WINEARCH=win32
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES WINEARCH
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two first runs at once would both build the prefix: serialise them.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
[ $# -gt 0 ] || exit 0
exec wine "$@"
