#!/bin/sh
# Two socket engines in two processes on loopback, one Linux and one Windows
# (under Wine): each runs the server once and the client once.
#   run_interop.sh LINUX_PEER WINDOWS_PEER
set -eu
linux=$1
windows=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
[ -x "$linux" ] || { echo "FAIL: no Linux peer at $linux (build it with make windows-test)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run_pair NAME SERVER_COMMAND... -- CLIENT_COMMAND...
# The server writes its ports to a file in $work; the client gets them.
run_pair() {
  name=$1; server=$2; client=$3
  echo "== $name"
  rm -f "$work/ports"
  (cd "$work" && $server server ports) &
  pid=$!
  for i in $(seq 300); do
    [ -s "$work/ports" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/ports" ] || { echo "FAIL: the server did not start"; kill $pid 2>/dev/null; wait $pid || true; return 1; }
  set -- $(cat "$work/ports")
  status=0
  (cd "$work" && $client client "$1" "$2") || status=1
  wait $pid || status=1
  return $status
}

rc=0
run_pair "Linux server, Windows client" "$linux" "$here/cmake/wine-run.sh $windows" || rc=1
run_pair "Windows server, Linux client" "$here/cmake/wine-run.sh $windows" "$linux" || rc=1
exit $rc
