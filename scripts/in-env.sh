#!/usr/bin/env bash
# Runs inside the build environment (see toolchain.sh): builds and runs the
# demo, the tests or the benchmarks.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
jobs=${TARNVEL_JOBS:-2}

# Compiled objects are kept outside the clone by ccache, keyed on the
# compiler, its flags and every file it reads, so that a fresh clone and the
# sanitizer builds of a later run compile only what changed. Where the shared
# folder cannot be written, ccache keeps its own default one. Paths under the
# clone are given to the compiler relative to it (CCACHE_BASEDIR) and the debug
# information records them so (the prefix map), which lets clones in other
# folders share the objects. Depend mode takes the headers a source read from
# the compiler's own dependency file, so a miss costs no extra run of the
# preprocessor.
launcher=
if command -v ccache >/dev/null 2>&1 && [ "${TARNVEL_CCACHE:-1}" != 0 ]; then
  launcher=ccache
  cache=${CCACHE_DIR:-/var/cache/tarnvel/ccache}
  if mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ]; then export CCACHE_DIR=$cache; fi
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G} CCACHE_BASEDIR=$repo CCACHE_DEPEND=1
fi
path_flags="-ffile-prefix-map=$repo/="

# Every option is given each time: a build directory shared by two commands
# must not keep what the other one chose.
configure() {  # build-dir [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev \
    -DTARNVEL_BUILD_TESTS=ON -DTARNVEL_BUILD_PYTHON=ON -DTARNVEL_BUILD_BENCH=ON -DTARNVEL_BUILD_FUZZ=ON \
    -DTARNVEL_SANITIZE= -DTARNVEL_WERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" \
    -DCMAKE_CXX_FLAGS="$path_flags" "$@" >/dev/null
}
configure_and_build() {  # build-dir [cmake args...]
  configure "$@"
  ninja -C "$1" -j "$jobs"
}

# A hang (a deadlock at close, say) must fail the run, not stall it.
pytest_run() { timeout --kill-after=10 900 python3 -m pytest -q -p no:cacheprovider "$@"; }
ctest_run() { ctest --test-dir "$1" --output-on-failure --no-tests=error -j "$jobs" --timeout 300; }

module_dir() { echo "$repo/build/release/cpp-src/pywrapper"; }
# The built module and the package's sources, as the tests and the demo import them.
built_path() { echo "$(module_dir):$repo/python"; }

# Installs the library of build/release into a scratch prefix, as a user
# would, checks that the public header alone went in, builds examples/cpp
# against the installed package and runs its server and client once.
example_against_installed() {
  local prefix=$repo/build/example-prefix out=$repo/build/example
  rm -rf "$prefix" "$out"
  cmake --install build/release --prefix "$prefix" >/dev/null
  local headers
  headers=$(cd "$prefix/include" && find . -type f)
  [ "$headers" = "./tarnvel/tarnvel.hpp" ] || { echo "installed headers: $headers" >&2; return 1; }
  cmake -S examples/cpp -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror $path_flags" -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" >/dev/null
  ninja -C "$out" -j "$jobs"
  local system="example_$$" ready="" rc=0
  coproc SERVER { exec timeout --kill-after=10 60 "$out/tarnvel_example_server" "$system"; }
  local server_out=${SERVER[0]} server_in=${SERVER[1]} server_pid=$SERVER_PID
  read -r -t 30 ready <&"$server_out" || true
  if [[ $ready == ready* ]]; then
    timeout --kill-after=10 60 "$out/tarnvel_example_client" "$system" || rc=$?
  else
    echo "the example server did not start: $ready" >&2
    rc=1
  fi
  exec {server_in}>&-  # ends the server
  wait "$server_pid" || rc=$?
  return $rc
}

# Each step says how far into the run it starts, so a slow step shows.
started=$SECONDS
step() { printf '\n==== [%dm%02ds] %s\n' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)) "$*"; }

case "${1:-}" in
  demo)
    configure build/release
    ninja -C build/release -j "$jobs" tarnvel_core
    PYTHONPATH=$(built_path) timeout --kill-after=10 300 python3 examples/demo.py ;;
  test)
    step "build (RelWithDebInfo)"
    configure_and_build build/release
    step "C++ tests"
    ctest_run build/release
    step "C++ example built against the installed package"
    example_against_installed
    step "Python tests against the built module and the package's sources"
    PYTHONPATH=$(built_path) pytest_run
    step "soak: servers killed and restarted under calls, a foreign writer (15 s)"
    PYTHONPATH=$(module_dir) timeout --kill-after=10 300 python3 bench/soak.py 15
    step "soak: calls go on while a holder of the book mutex is stopped (10 s)"
    PYTHONPATH=$(module_dir) timeout --kill-after=10 300 python3 bench/soak.py 10 --stopped-holder
    step "pip install of the package, then the Python tests against the installed package"
    rm -rf build/pip-target
    # A build folder of its own that outlives the run, so that a later run
    # compiles only what changed instead of the whole library again.
    pip install --no-build-isolation --no-deps --disable-pip-version-check -q --target build/pip-target \
      --config-settings=build-dir=build/pip-build \
      --config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER="$launcher" .
    PYTHONPATH=$repo/build/pip-target python3 -c '
import pathlib, tarnvel, tarnvel_core
target = pathlib.Path("build/pip-target").resolve()
for path in (pathlib.Path(tarnvel_core.__file__).with_name("tarnvel_core.pyi"),
             pathlib.Path(tarnvel.__file__).with_name("py.typed"), target / "bin" / "tarnvel"):
    assert path.exists() and path.is_relative_to(target), path
print("installed:", tarnvel_core.__file__, tarnvel.__file__)'
    # The package's tests, which run the installed console script
    # (build/pip-target/bin/tarnvel); the module's own C++ ran its tests above
    # and runs them again below, under the sanitizer.
    PYTHONPATH=$repo/build/pip-target pytest_run python/tests
    step "C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    configure_and_build build/asan -DTARNVEL_SANITIZE=address,undefined -DTARNVEL_BUILD_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest_run build/asan
    step "the module's tests against its instrumented build (interpreter lock, resolvers, close)"
    # An interpreter without the sanitizer needs its runtime loaded first (and
    # the C++ runtime, whose throws the sanitizer intercepts). Short recorded
    # stacks let the suppressions name just the allocation sites of what the
    # interpreter itself keeps until exit. Every Python child of the tests
    # inherits all of it.
    PYTHONPATH=$repo/build/asan/cpp-src/pywrapper:$repo/python \
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_odr_violation=0:malloc_context_size=6 \
      LSAN_OPTIONS=suppressions=$repo/scripts/lsan-python.supp:print_suppressions=0 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      timeout --kill-after=10 900 env LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
      python3 -m pytest -q -p no:cacheprovider cpp-src/pywrapper/tests
    step "C++ tests under ThreadSanitizer"
    configure_and_build build/tsan -DTARNVEL_SANITIZE=thread -DTARNVEL_BUILD_PYTHON=OFF -DTARNVEL_BUILD_BENCH=OFF
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest_run build/tsan ;;
  bench)
    configure build/release
    ninja -C build/release -j "$jobs" tarnvel_core tarnvel_bench
    # One table of tarnvel beside its baselines, and docs/latency.png.
    PYTHONPATH=$(module_dir) timeout --kill-after=10 900 python3 bench/report.py \
      --cpp-bench build/release/cpp-src/tarnvel/bench/tarnvel_bench --png docs/latency.png ;;
  *)
    echo "usage: in-env.sh demo | test | bench" >&2; exit 2 ;;
esac
