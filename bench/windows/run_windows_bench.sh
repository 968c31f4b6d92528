#!/bin/sh
# make windows-bench: runs vesk_win_bench under Wine for the DLL's engine and
# the plain completion-port echo server, one figure per run, and adds the
# CPU time of the Wine server to the idle measurements.  The connections
# test's clients are a native program of the Linux tree.
# Usage: run_windows_bench.sh BUILD_DIR LINUX_BUILD_DIR
set -eu
build=$1
clients=$2/vesk_win_bench_clients
here=$(cd "$(dirname "$0")/../.." && pwd)
bench=$build/vesk_win_bench.exe
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32
"$here/cmake/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
wineserver -p || true
trap 'wineserver -k 2>/dev/null || true' EXIT INT TERM
# A run that fails is made once more: now and then Wine fails to start a
# program ("wine client error:0: recvmsg: Connection reset by peer", before
# its first thread exists), and one failed run would end the whole script.
run() {
  timeout 300 "$here/cmake/wine-run.sh" "$bench" "$@" </dev/null && return 0
  echo "vesk_win_bench $*: failed; once more" >&2
  timeout 300 "$here/cmake/wine-run.sh" "$bench" "$@" </dev/null
}

# The Wine server of this prefix: the one whose working directory is the
# server directory named after the prefix's device and inode.
server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
server_pid=
for p in $(ps -eo pid=,comm= | awk '$2 ~ /^wineserver/ {print $1}'); do
  case $(readlink /proc/$p/cwd 2>/dev/null) in */$server_dir) server_pid=$p ;; esac
done
[ -n "$server_pid" ] || echo "no Wine server found for $WINEPREFIX: its CPU counts as 0" >&2
ticks() { [ -n "$1" ] && awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
switches() { cat /proc/${1:-none}/task/*/status 2>/dev/null |
  awk '/ctxt_switches/ {n += $2} END {print n + 0}'; }
hz=$(getconf CLK_TCK)

# Idle: CPU of the program and of the Wine server, and the program's
# context switches (its threads' wake-ups), over 5 s with N idle connections.
idle() {
  seconds=5
  run idle "$1" "$2" $seconds | while read -r word rest; do
    case $word in
      idle-start*)
        pid=$(ps -eo pid=,args= | awk '$2 ~ /vesk_win_bench\.exe$/ && $3 == "idle" {print $1}' | tail -n 1)
        p0=$(ticks "$pid"); s0=$(ticks "$server_pid"); w0=$(switches "$pid")
        echo "$pid $p0 $s0 $w0" > "$build/.idle" ;;
      idle-end*)
        read -r pid p0 s0 w0 < "$build/.idle"
        p1=$(ticks "$pid"); s1=$(ticks "$server_pid"); w1=$(switches "$pid")
        awk -v p=$((p1 - p0)) -v s=$((s1 - s0)) -v w=$((w1 - w0)) -v hz="$hz" -v t=$seconds \
          -v which="$1" -v n="$2" 'BEGIN {
            printf "idle %s conns=%d cpu=%.1f%% (program %.1f%% + wineserver %.1f%%) wakeups_per_s=%.0f\n",
              which, n, 100 * (p + s) / hz / t, 100 * p / hz / t, 100 * s / hz / t, w / t }' ;;
      *) echo "$word $rest" ;;
    esac
  done
}

# N connections, each echoed once: the server under Wine until its standard
# input ends, the clients native (see bench/windows/many_clients.cpp).
many() {
  fifo=$build/.serve_in
  out=$build/.serve_out
  rm -f "$fifo" "$out"
  mkfifo "$fifo"
  timeout 300 "$here/cmake/wine-run.sh" "$bench" serve "$1" "$2" <"$fifo" >"$out" &
  server=$!
  exec 3>"$fifo"
  port=
  for _ in $(seq 600); do
    port=$(awk '/^listening/ {print $2}' "$out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -n "$port" ]; then "$clients" "$1" "$port" "$2"; else echo "many $1: no server"; fi
  exec 3>&-
  wait "$server" || true
  rm -f "$fifo" "$out"
}

for which in engine iocp; do
  idle $which 0
  idle $which 1000
  run rtt $which 0
  run rtt $which 1000
  run pipe $which 1
  run pipe $which 16
  many $which 10000
done
run init
run msgq
