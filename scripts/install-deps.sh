#!/bin/sh
# Installs the Debian packages that a build needs and this machine lacks.
#   scripts/install-deps.sh          what make test, make demo and make install need
#   scripts/install-deps.sh package  that and the Debian package tools (make package)
#   scripts/install-deps.sh web      that and the browsers and web server of make web-test
#   scripts/install-deps.sh all      everything .ci/run uses besides: clang-format, benchmarks,
#                                    clang for fuzzing, python3 and gcovr for the fault sweep and
#                                    coverage, mingw-w64 and Wine for the Windows build
# As root it runs apt-get; otherwise it prints the one command to run and fails.
# Nothing is done when every package is there (or on a machine without dpkg).
set -eu

core="cmake ninja-build g++ make pkg-config googletest libgtest-dev zlib1g-dev lighttpd libcli11-dev"
package="dpkg-dev file"
web="chromium firefox-esr apache2"
extra="clang clang-format libclang-rt-14-dev libbenchmark-dev libevent-dev libasio-dev libuv1-dev curl
       python3 gcovr
       g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386"

case "${1:-core}" in
  core) packages=$core ;;
  package) packages="$core $package" ;;
  web) packages="$core $web" ;;
  all) packages="$core $package $web $extra" ;;
  *) echo "usage: $0 [core|package|web|all]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps: not a Debian system; install the equivalents of: $packages" >&2
  exit 0
fi

missing=
for p in $packages; do
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

echo "installing:$missing"
[ -n "$need_i386" ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086 # one word per package
apt-get install -y -qq $missing
