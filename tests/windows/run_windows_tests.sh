#!/bin/sh
# Runs the Windows cross build's checks: the DLL's imports and export names,
# then every test under Wine.  Usage: run_windows_tests.sh BUILD_DIR [ctest args]
# The Wine prefix lives in BUILD_DIR/wineprefix; it is created on first use.
set -eu
build=$1
shift
here=$(cd "$(dirname "$0")/../.." && pwd)
dll=$build/vuvidur.dll
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

echo "== $dll: imports and export names"
imports=$($objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "imports: $(echo $imports)"
for name in $imports; do
  case $(echo "$name" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|ws2_32.dll|user32.dll|advapi32.dll|ntdll.dll|bcrypt.dll) ;;
    *) echo "FAIL: vuvidur.dll depends on $name, which is not a system DLL"; exit 1 ;;
  esac
done
if ! $objdump -p "$dll" | grep -q '\[Name Pointer/Ordinal\] Table[[:space:]]*00000000'; then
  echo "FAIL: vuvidur.dll publishes export names"; exit 1
fi
echo "exports: by ordinal only"

export VESK_WINEPREFIX="$build/wineprefix" WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32
# Create the prefix once, then keep one Wine server for the whole run, so
# that each test process starts in a fraction of a second.  (A server that is
# already running, exit status 2, serves the run as well.)
"$here/cmake/wine-run.sh"
wineserver -p || true
trap 'wineserver -k 2>/dev/null || true' EXIT INT TERM
# The first program of a server's life starts Wine's background services,
# which inherit its standard streams and live as long as the server: start
# them here with nothing attached, or a test's output pipe would stay open.
"$here/cmake/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
ctest --test-dir "$build" --output-on-failure "$@"
