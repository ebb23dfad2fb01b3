#!/usr/bin/env bash
# Cross-builds the C++ library, its tests and the test peer for 64-bit
# Windows with MinGW-w64, installs the library into a scratch prefix and
# builds the C++ example against it, then runs the tests under Wine.
#
#   scripts/win-test.sh [gtest options...]     e.g. --gtest_filter='Platform*'
#
# Runs on a Debian 12 host as root: it installs the cross compiler, Wine,
# CMake and Ninja from Debian when missing. Boost headers and the GoogleTest
# sources come from the build root of scripts/toolchain.sh (made if missing);
# the host's own Boost is never used. Everything lands in build/win32 of this
# clone (TARNVEL_WIN32_BUILD overrides), Wine's prefix included. Exits
# non-zero when the build or a test fails.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARNVEL_WIN32_BUILD:-$repo/build/win32}
root=${TARNVEL_TOOLCHAIN_ROOT:-/var/cache/tarnvel/sid-root}
jobs=${TARNVEL_JOBS:-2}
deps=$build/deps
triplet=x86_64-w64-mingw32
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

log() { printf '[win-test] %s\n' "$*" >&2; }
mkdir -p "$build"

# --- host packages -----------------------------------------------------------
missing=()
command -v $triplet-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64-posix)
[ -x "$wine" ] || missing+=(wine64)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
# ccache only speeds the build up: it is not asked for without the rights to install it.
command -v ccache >/dev/null 2>&1 || [ "$(id -u)" != 0 ] || missing+=(ccache)
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { log "missing ${missing[*]}; run as root to install them"; exit 1; }
  log "installing ${missing[*]}"
  install_missing() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      -o DPkg::Lock::Timeout=600 -o Dpkg::Use-Pty=0 "${missing[@]}" >>"$build/apt.log" 2>&1
  }
  # The package lists are refreshed only when they do not know the packages.
  if ! install_missing; then
    apt-get update -q >>"$build/apt.log" 2>&1
    install_missing || { log "apt-get failed; see $build/apt.log"; tail -20 "$build/apt.log" >&2; exit 1; }
  fi
fi

# Compiled objects are kept outside the clone (see in-env.sh), apart from the
# build root's: another ccache, another compiler. As there, paths under the
# clone are relative, so that clones in other folders share the objects.
launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=
cache=${TARNVEL_WIN32_CCACHE_DIR:-/var/cache/tarnvel/ccache-mingw}
if command -v ccache >/dev/null 2>&1 && [ "${TARNVEL_CCACHE:-1}" != 0 ] && mkdir -p "$cache" 2>/dev/null; then
  export CCACHE_DIR=$cache CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-1G} CCACHE_BASEDIR=$repo CCACHE_DEPEND=1
  launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# --- target dependencies -------------------------------------------------------
if [ ! -f "$root/usr/include/boost/version.hpp" ] || [ ! -f "$root/usr/src/googletest/CMakeLists.txt" ]; then
  TARNVEL_FORCE_ROOT=1 TARNVEL_TOOLCHAIN_ROOT="$root" "$repo/scripts/toolchain.sh" true
fi
mkdir -p "$deps/include"
ln -sfn "$root/usr/include/boost" "$deps/include/boost"

# GoogleTest is built once for the target from the root's sources; a new
# GoogleTest or a changed toolchain file rebuilds it.
gtest_src=$root/usr/src/googletest
gtest_stamp="$(grep -m1 GOOGLETEST_VERSION "$gtest_src/CMakeLists.txt") $(sha1sum <"$repo/cmake/mingw-w64.cmake")"
if [ "$(cat "$deps/.gtest-stamp" 2>/dev/null)" != "$gtest_stamp" ]; then
  log "building GoogleTest for Windows"
  rm -rf "$build/googletest"
  {
    cmake -S "$gtest_src" -B "$build/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" -DTARNVEL_WIN32_DEPS="$deps" \
      -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON "$launcher" "${launcher/CXX/C}" &&
      ninja -C "$build/googletest" -j "$jobs" install
  } >"$build/googletest.log" 2>&1 || { log "GoogleTest build failed; see $build/googletest.log"; exit 1; }
  printf '%s' "$gtest_stamp" >"$deps/.gtest-stamp"
fi

# --- the project ---------------------------------------------------------------------
bench=OFF
[ -f "$repo/cpp-src/tarnvel/bench/CMakeLists.txt" ] && bench=ON
log "building into $build/tarnvel"
cmake -S "$repo" -B "$build/tarnvel" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" -DTARNVEL_WIN32_DEPS="$deps" \
  -DTARNVEL_BUILD_PYTHON=OFF -DTARNVEL_BUILD_FUZZ=OFF -DTARNVEL_BUILD_BENCH=$bench -DTARNVEL_WERROR=ON "$launcher" \
  -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$repo/=" >/dev/null
ninja -C "$build/tarnvel" -j "$jobs"

# --- the installed package, as a Windows consumer sees it ---------------------------
# The example builds against it (no prelude, none of the library's own
# definitions), and the public header compiles on either side of <windows.h>.
log "building the C++ example against the installed package"
rm -rf "$build/prefix" "$build/example"
cmake --install "$build/tarnvel" --prefix "$build/prefix" >/dev/null
cmake -S "$repo/examples/cpp" -B "$build/example" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" -DTARNVEL_WIN32_DEPS="$deps" \
  -Dtarnvel_DIR="$build/prefix/lib/cmake/tarnvel" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror -ffile-prefix-map=$repo/=" "$launcher" >/dev/null
ninja -C "$build/example" -j "$jobs" >/dev/null
header_compiles() {  # one source text
  printf '%s\n' "$1" | $triplet-g++-posix -std=c++20 -fsyntax-only -Wall -Wextra -Werror \
    -I"$build/prefix/include" -isystem "$deps/include" -x c++ -
}
header_compiles $'#include <windows.h>\n#include <tarnvel/tarnvel.hpp>\nstatic_assert(tarnvel::STATUS_TIMEOUT == 1);' ||
  { log "the public header fails after <windows.h>"; exit 1; }
header_compiles $'#include <tarnvel/tarnvel.hpp>\n#include <windows.h>\nstatic_assert(WAIT_TIMEOUT == 0x102);' ||
  { log "the public header fails before <windows.h>"; exit 1; }

# --- run under Wine ----------------------------------------------------------------------
# Headless and without the Mono and Gecko installers, in a prefix of our own.
export WINEPREFIX=$build/wine-prefix WINEARCH=win64 WINEDEBUG=-all DISPLAY= \
  WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  log "creating the Wine prefix"
  timeout --kill-after=10 300 "$wine" wineboot --init >"$build/wineboot.log" 2>&1 || true
  timeout --kill-after=10 120 "$wineserver" -w || true
fi

# The tests start tarnvel_peer.exe by the Unix path CMake gave them; the
# Win32 test support asks Wine for its Windows name.
tests_dir=$build/tarnvel/cpp-src/tarnvel/tests
log "running tarnvel_tests.exe under Wine"
# A program that crashes under Wine can still end with status 0; the report
# GoogleTest writes only at the end of a whole run tells a finished run apart.
report=$tests_dir/tarnvel_tests.xml
rm -f "$report"
set +e
(cd "$tests_dir" && timeout --kill-after=10 ${TARNVEL_WIN32_TIMEOUT:-1200} \
  "$wine" ./tarnvel_tests.exe --gtest_brief=1 --gtest_output=xml:tarnvel_tests.xml "$@")
rc=$?
set -e
if [ $rc -eq 0 ] && [ ! -s "$report" ]; then
  log "tarnvel_tests.exe ended without finishing its run (a crash?)"
  rc=1
fi
# Ends whatever this run left in its own prefix (a peer a failed test did not
# reap) and the prefix's wineserver with it.
"$wineserver" -k 2>/dev/null || true
[ $rc -eq 124 ] && log "timed out"
exit $rc
