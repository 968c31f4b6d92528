#!/bin/sh
# Installs the Debian packages that a target needs and this machine lacks.
#   scripts/install-deps.sh          what make test and make demo need (the build with libssl-dev,
#                                    GoogleTest, zlib, lighttpd)
#   scripts/install-deps.sh install  what make install needs: the build alone
#   scripts/install-deps.sh package  the build and the Debian package tools (make package)
#   scripts/install-deps.sh web      the browsers and web server of make web-test
#   scripts/install-deps.sh windows  mingw-w64 and Wine (make windows-test)
#   scripts/install-deps.sh ci       what .ci/run needs besides web and windows: clang-format,
#                                    benchmarks, clang for fuzzing, python3 and gcovr
#   scripts/install-deps.sh all      every one of these
# Several sets may be named at once.  As root it runs apt-get; otherwise it prints the one command to
# run and fails.  Nothing is done when every package is there (or on a machine without dpkg).
#
# A failing `apt-get update` (an archive in the middle of a sync) is retried once and then left to
# apt-get install to judge: the lists already on the machine may serve.  When the archive cannot
# provide some packages, the rest are installed all the same, and the script names the missing ones
# with apt's reason and exits 3.  Any other failure exits with apt's own status.
set -eu

build="cmake ninja-build g++ make pkg-config libcli11-dev libssl-dev"
tests="googletest libgtest-dev zlib1g-dev lighttpd"
package="dpkg-dev file"
web="chromium firefox-esr apache2"
windows="g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386"
ci="clang clang-format libclang-rt-14-dev libbenchmark-dev libevent-dev libasio-dev libuv1-dev curl
    python3 gcovr"

[ $# -eq 0 ] && set -- core
packages=
for set in "$@"; do
  case $set in
    core) packages="$packages $build $tests" ;;
    install) packages="$packages $build" ;;
    package) packages="$packages $build $package" ;;
    web) packages="$packages $build $tests $web" ;;
    windows) packages="$packages $windows" ;;
    ci) packages="$packages $build $tests $package $ci" ;;
    all) packages="$packages $build $tests $package $ci $web $windows" ;;
    *) echo "usage: $0 [core|install|package|web|windows|ci|all]..." >&2; exit 2 ;;
  esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps: not a Debian system; install the equivalents of:$packages" >&2
  exit 0
fi

missing=
for p in $packages; do
  case " $missing " in *" $p "*) continue ;; esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

# wine32 is an i386 package: the architecture must be known to dpkg first.
need_i386=
case "$missing" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || need_i386=yes ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  line="apt-get update && apt-get install -y$missing"
  [ -n "$need_i386" ] && line="dpkg --add-architecture i386 && $line"
  echo "Missing Debian packages:$missing" >&2
  echo "Run as root:  $line" >&2
  exit 1
fi

# apt's reason, in at most two lines: the first unmet dependency it names, then its first error.
reason() {
  {
    sed -n '/unmet dependencies:/{n;s/^ *//;s/  */ /g;p;q}' "$1"
    grep -m1 '^E:' "$1" || tail -n 1 "$1"
  } | head -n 2
}

echo "installing:$missing"
[ -n "$need_i386" ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! apt-get update -qq >"$log" 2>&1; then
  echo "install-deps: apt-get update failed; trying once more" >&2
  sleep 5
  if ! apt-get update -qq >"$log" 2>&1; then
    echo "install-deps: apt-get update failed again; going on with the package lists at hand:" >&2
    grep -m2 '^E:' "$log" | sed 's/^/  /' >&2 || true
  fi
fi

# Ask apt, package by package, which of them it can provide; install those together.
wanted= unavailable= why=
for p in $missing; do
  if apt-get install -s -y "$p" >"$log" 2>&1; then
    wanted="$wanted $p"
  else
    unavailable="$unavailable $p"
    [ -n "$why" ] || why=$(reason "$log")
  fi
done

if [ -n "$wanted" ]; then
  # shellcheck disable=SC2086 # one word per package
  apt-get install -y -qq $wanted >"$log" 2>&1 || {
    status=$?
    cat "$log" >&2
    echo "install-deps: apt-get install failed (status $status):$wanted" >&2
    exit "$status"
  }
fi

if [ -n "$unavailable" ]; then
  echo "install-deps: the archive cannot provide:$unavailable" >&2
  echo "$why" | sed 's/^/  apt: /' >&2
  echo "install-deps: if the archive is in the middle of a sync, run the same command again later" >&2
  exit 3
fi
