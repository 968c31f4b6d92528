#!/bin/sh
# Builds and runs the consumer programs (app.c, app.cpp) outside the source
# tree, every way the README shows, with the very files the README shows:
#   build_consumers.sh PKG_BUILD_DIR
#       PKG_BUILD_DIR is the tree of make package (configured for /usr, with
#       the static archive).  Installs it into a scratch prefix and builds
#       through pkg-config (shared and static) and find_package (shared and
#       static); unpacks the Debian package into a scratch root (dpkg -x) and
#       builds against that; builds through add_subdirectory and FetchContent
#       from this source tree.
#   build_consumers.sh --windows WIN32_BUILD_DIR
#       Installs the Windows cross build into a scratch prefix, builds the
#       programs against its header and import library with mingw-w64 and
#       runs them under Wine.
# KEEP=1 keeps the scratch directory.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vuvidur-consumers.XXXXXX")
if [ "${KEEP:-}" = 1 ]; then
  echo "scratch directory: $work"
else
  trap 'rm -rf "$work"' EXIT
fi

fail() { echo "FAIL: $*"; exit 1; }

# A project directory with the consumer sources and, optionally, a CMakeLists.txt.
project() {
  mkdir -p "$work/$1"
  cp "$here/app.c" "$here/app.cpp" "$here/app_hpp.cpp" "$work/$1/"
  if [ $# -gt 1 ]; then cp "$here/$2/CMakeLists.txt" "$work/$1/"; fi
  echo "$work/$1"
}

# run DIR PROGRAM...: each program must exit 0.
run() {
  where=$1; shift
  for p in "$@"; do
    "$where/$p" || fail "$where/$p exited with $?"
  done
}

# needs_shared_library PROGRAM yes|no: whether it loads libvuvidur.so.1 at run time.
needs_shared_library() {
  if readelf -d "$1" | grep -q 'NEEDED.*\[libvuvidur\.so\.1\]'; then got=yes; else got=no; fi
  [ "$got" = "$2" ] || fail "$1: needs libvuvidur.so.1: $got, expected $2"
}

cmake_build() {  # cmake_build SOURCE_DIR [cmake arguments...]
  src=$1; shift
  cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >"$src/configure.log" 2>&1 ||
    { cat "$src/configure.log"; fail "configuring $src"; }
  cmake --build "$src/build" >"$src/build.log" 2>&1 || { cat "$src/build.log"; fail "building $src"; }
}

# The README shows these files; a snippet that differs from its file fails.
check_readme() {
  for f in pkg-config.sh find_package/CMakeLists.txt add_subdirectory/CMakeLists.txt \
           fetchcontent/CMakeLists.txt; do
    awk -v marker="<!-- tests/consumers/$f -->" '
      $0 == marker { found = 1; next }
      found == 1 && /^```/ { found = 2; next }
      found == 2 && /^```/ { exit }
      found == 2 { print }' "$repo/README.md" >"$work/snippet"
    cmp -s "$work/snippet" "$here/$f" ||
      { diff -u "$here/$f" "$work/snippet" || true; fail "README.md does not show tests/consumers/$f as it is"; }
  done
  # The C++ example is built with the tree (examples/).
  awk '$0 == "<!-- examples/echo.cpp -->" { found = 1; next }
       found == 1 && /^```/ { found = 2; next }
       found == 2 && /^```/ { exit }
       found == 2 { print }' "$repo/README.md" >"$work/snippet"
  cmp -s "$work/snippet" "$repo/examples/echo.cpp" ||
    { diff -u "$repo/examples/echo.cpp" "$work/snippet" || true; fail "README.md does not show examples/echo.cpp as it is"; }
  echo "README snippets: the files built below"
}

if [ "${1:-}" = "--windows" ]; then
  build=$2
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  for f in bin/vuvidur.dll lib/libvuvidur.dll.a include/vuvidur.h include/vuvidur.hpp lib/pkgconfig/vuvidur.pc \
           lib/cmake/Vuvidur/VuvidurConfig.cmake; do
    [ -f "$prefix/$f" ] || fail "the Windows install lacks $f"
  done
  dir=$(project windows)
  cp "$prefix/bin/vuvidur.dll" "$dir/"
  # The toolchain's own runtime linked in (-static), the DLL through its import library.
  for lang in c cpp; do
    case $lang in c) cc=i686-w64-mingw32-gcc-posix ;; cpp) cc=i686-w64-mingw32-g++-posix ;; esac
    $cc -o "$dir/app_$lang.exe" "$dir/app.$lang" -I"$prefix/include" -static "$prefix/lib/libvuvidur.dll.a" ||
      fail "building app.$lang against the import library"
  done
  # The C++ face is portable C++20 over the same import library.
  i686-w64-mingw32-g++-posix -std=c++20 -o "$dir/app_hpp.exe" "$dir/app_hpp.cpp" -I"$prefix/include" -static \
    "$prefix/lib/libvuvidur.dll.a" || fail "building app_hpp.cpp against the import library"
  # The import library binds the functions by ordinal, the extensions (1001 on) included.
  i686-w64-mingw32-objdump -p "$dir/app_c.exe" | sed -n '/DLL Name: vuvidur.dll/,/^$/p' >"$work/imports"
  grep -Eq '[[:space:]]1004[[:space:]]+<none>' "$work/imports" ||
    { cat "$work/imports"; fail "vesk_version is not imported by ordinal 1004"; }
  if grep -q 'vesk_' "$work/imports"; then cat "$work/imports"; fail "functions imported by name"; fi
  export VESK_WINEPREFIX="$build/wineprefix"
  for p in app_c.exe app_cpp.exe app_hpp.exe; do
    (cd "$dir" && "$repo/cmake/wine-run.sh" "./$p") </dev/null || fail "$p under Wine"
  done
  echo "consumers: Windows import library and header: passed"
  exit 0
fi

pkg=${1:?usage: build_consumers.sh PKG_BUILD_DIR | --windows WIN32_BUILD_DIR}
version=$(sed -n 's/^#define VESK_VERSION_STRING "\(.*\)"$/\1/p' "$repo/include/vuvidur.h")
check_readme

# 1. An installed prefix.
prefix=$work/prefix
cmake --install "$pkg" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name vuvidur.pc)")
[ -f "$pcdir/vuvidur.pc" ] || fail "no vuvidur.pc installed"
libdir=$(dirname "$pcdir")
for f in libvuvidur.so libvuvidur.so.1 libvuvidur.so.1.0.0 libvuvidur.a cmake/Vuvidur/VuvidurConfig.cmake \
         cmake/Vuvidur/VuvidurConfigVersion.cmake; do
  [ -e "$libdir/$f" ] || fail "the install lacks $libdir/$f"
done
[ "$(readlink "$libdir/libvuvidur.so")" = libvuvidur.so.1 ] || fail "libvuvidur.so does not point at libvuvidur.so.1"
[ "$(readlink "$libdir/libvuvidur.so.1")" = libvuvidur.so.1.0.0 ] || fail "libvuvidur.so.1 does not point at libvuvidur.so.1.0.0"
readelf -d "$libdir/libvuvidur.so.1.0.0" | grep -q 'SONAME.*\[libvuvidur\.so\.1\]' || fail "SONAME is not libvuvidur.so.1"

# The tool and the C++ face come with the library.
for f in include/vuvidur.hpp bin/vuvidur share/man/man1/vuvidur.1; do
  [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
"$prefix/bin/vuvidur" version | grep -qx "vuvidur $version (library $version)" ||
  fail "the installed tool does not run with the installed library"

echo "== pkg-config"
dir=$(project pkg-config)
(cd "$dir" && PKG_CONFIG_PATH="$pcdir" sh "$here/pkg-config.sh") || fail "the pkg-config commands"
(cd "$dir" && c++ -std=c++20 app_hpp.cpp -o app_hpp $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs vuvidur) \
  -Wl,-rpath,"$libdir") || fail "building app_hpp.cpp against the installed vuvidur.hpp"
run "$dir" app_c app_cpp app_static app_hpp
needs_shared_library "$dir/app_c" yes
needs_shared_library "$dir/app_static" no

echo "== find_package"
dir=$(project find_package find_package)
cmake_build "$dir" -DCMAKE_PREFIX_PATH="$prefix"
run "$dir/build" app_c app_cpp app_static
needs_shared_library "$dir/build/app_c" yes
needs_shared_library "$dir/build/app_static" no
# A version the package does not provide is refused.
sed 's/find_package(Vuvidur 1.0 REQUIRED)/find_package(Vuvidur 2.0 REQUIRED)/' "$dir/CMakeLists.txt" >"$dir/v2.txt"
mkdir -p "$work/v2" && cp "$dir/app.c" "$dir/app.cpp" "$work/v2/" && mv "$dir/v2.txt" "$work/v2/CMakeLists.txt"
if cmake -S "$work/v2" -B "$work/v2/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
  fail "find_package(Vuvidur 2.0) accepted version 1"
fi

echo "== Debian package, unpacked into a scratch root"
deb=$(ls "$pkg"/packages/*.deb)
root=$work/root
dpkg -x "$deb" "$root"
rootlib=$(dirname "$(find "$root" -name libvuvidur.so.1)")
dir=$(project deb-find_package find_package)
cmake_build "$dir" -DCMAKE_PREFIX_PATH="$root/usr"
LD_LIBRARY_PATH=$rootlib run "$dir/build" app_c app_cpp app_static
needs_shared_library "$dir/build/app_static" no
# The package's pkg-config file names /usr: the scratch root is its sysroot.
dir=$(project deb-pkg-config)
(cd "$dir" && PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_PATH="$rootlib/pkgconfig" sh "$here/pkg-config.sh") ||
  fail "the pkg-config commands against the package"
LD_LIBRARY_PATH=$rootlib run "$dir" app_c app_cpp app_static
# The package's tool finds the package's library by its run path.
"$root/usr/bin/vuvidur" version | grep -qx "vuvidur $version (library $version)" ||
  fail "the packaged tool does not run with the packaged library"
[ -f "$root/usr/include/vuvidur.hpp" ] || fail "the package lacks vuvidur.hpp"

echo "== add_subdirectory"
dir=$(project add_subdirectory add_subdirectory)
ln -s "$repo" "$dir/vuvidur"
cmake_build "$dir"
run "$dir/build" app_c app_cpp
# Embedded, Vuvidur builds the library alone: no tests, no examples.
if cmake --build "$dir/build" --target help | grep -q 'test_frame\|demo'; then
  fail "an embedded Vuvidur builds its tests or examples"
fi

echo "== FetchContent"
dir=$(project fetchcontent fetchcontent)
cmake_build "$dir" -DVUVIDUR_REPOSITORY="$repo" -DVUVIDUR_TAG="$(git -C "$repo" rev-parse HEAD)"
run "$dir/build" app_c app_cpp

echo "consumers: pkg-config, find_package, Debian package, add_subdirectory, FetchContent: passed"
