#!/bin/sh
# The demonstration's last part, run by make demo after the demo program:
# the vuvidur tool as a user types it.  An echo server (vuvidur listen
# --echo) on a free loopback port, one message sent to it, and round trips
# against it (vuvidur ping).  Usage: tool.sh PATH/TO/vuvidur
set -eu
vuvidur=$1
events=$(mktemp)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -f "$events"' EXIT

echo
echo "=== The vuvidur tool ==="
echo "\$ vuvidur listen --echo 127.0.0.1:0 &"
"$vuvidur" listen --echo 127.0.0.1:0 >"$events" &
pid=$!
tries=0
until [ -s "$events" ]; do
  tries=$((tries + 1))
  [ $tries -le 50 ] || { echo "the server did not start"; exit 1; }
  sleep 0.1
done
head -n 1 "$events"
where=$(sed -n '1s/^listening on \([0-9.]*:[0-9]*\) .*/\1/p' "$events")

echo "\$ vuvidur send $where hello world"
"$vuvidur" send "$where" hello world
echo "\$ vuvidur ping --count 2000 --window 8 $where"
"$vuvidur" ping --count 2000 --window 8 "$where"

kill "$pid"
wait "$pid"
pid=
echo "(the server printed $(($(wc -l <"$events") - 1)) event lines; the first four:)"
sed -n '2,5p' "$events"
echo "--- The vuvidur tool: ok"
