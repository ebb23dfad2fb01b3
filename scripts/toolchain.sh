#!/usr/bin/env bash
# Provides the build environment and runs a command inside it.
#
#   scripts/toolchain.sh COMMAND [ARGS...]
#
# The project needs CPython 3.14, pybind11 3, Boost >= 1.81 (Asio, JSON),
# CMake, Ninja, GoogleTest and pytest. Where the host already has all of them
# the command runs directly. Otherwise a Debian sid root is built once with
# debootstrap in a cache folder outside the clone and the command runs inside
# it (chroot in a private mount namespace, sharing the host's /dev and so its
# /dev/shm). Later runs reuse the root.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${TARNVEL_TOOLCHAIN_ROOT:-/var/cache/tarnvel/sid-root}
mirror=${TARNVEL_MIRROR:-http://deb.debian.org/debian}
apt_opts=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -o Dpkg::Use-Pty=0 -q)
# Bump the stamp when the list changes so existing roots get the new packages.
packages=(g++ cmake ninja-build python3.14-dev python3-dev pybind11-dev libboost-dev
          libboost-json-dev libgtest-dev python3-pytest python3-pip
          python3-scikit-build-core python3-zmq ca-certificates
          strace python3-matplotlib
          python3-grpcio python3-grpcio-reflection python3-grpc-tools python3-protobuf openssl
          protobuf-compiler protobuf-compiler-grpc ccache)
stamp_value="v4 ${packages[*]}"

log() { printf '[toolchain] %s\n' "$*" >&2; }

host_has_everything() {
  command -v python3.14 >/dev/null 2>&1 || return 1
  python3.14 -c 'import pybind11, pytest, sys; sys.exit(int(pybind11.version_info[0] < 3))' 2>/dev/null || return 1
  [ -f /usr/include/boost/json.hpp ] || return 1
  grep -qE 'BOOST_VERSION (1(0[89]|[1-9][0-9])[0-9]{3}|1[89][0-9]{3})' /usr/include/boost/version.hpp 2>/dev/null || return 1
  command -v cmake >/dev/null && command -v ninja >/dev/null || return 1
  [ -f /usr/include/gtest/gtest.h ] || return 1
}

# Every package of the list installed in the root, by its dpkg status. A root
# that another copy of this script (an older branch, say) stamped with its own
# list then still counts when it has all of ours, instead of the two copies
# reinstalling in turn.
root_has_packages() {
  [ -f "$root/var/lib/dpkg/status" ] || return 1
  awk -v want="${packages[*]}" '
    BEGIN { n = split(want, list, " "); for (i = 1; i <= n; i++) missing[list[i]] = 1 }
    /^Package: / { name = $2 }
    /^Status: install ok installed$/ { delete missing[name] }
    END { for (p in missing) exit 1 }' "$root/var/lib/dpkg/status"
}

ensure_root() {
  if [ -f "$root/.tarnvel-stamp" ] && [ "$(cat "$root/.tarnvel-stamp")" = "$stamp_value" ]; then
    return 0
  fi
  if [ -x "$root/usr/bin/apt-get" ] && root_has_packages; then
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    log "building the toolchain root needs root (debootstrap, chroot)"; exit 1
  fi
  if [ ! -x "$root/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null 2>&1 || {
      log "installing debootstrap on the host"
      apt-get -o DPkg::Lock::Timeout=600 update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq debootstrap >/dev/null
    }
    local tmp="$root.partial"
    rm -rf "$tmp"; mkdir -p "$(dirname "$root")"
    log "debootstrap sid into $tmp (about 30 s)"
    debootstrap --variant=minbase sid "$tmp" "$mirror" >"$(dirname "$root")/debootstrap.log" 2>&1 || {
      log "debootstrap failed; see $(dirname "$root")/debootstrap.log"; tail -20 "$(dirname "$root")/debootstrap.log" >&2; exit 1; }
    rm -rf "$root"; mv "$tmp" "$root"
  fi
  log "installing build packages into the root"
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  in_root env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" update
  in_root env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" install -y "${packages[@]}"
  in_root apt-get clean
  printf '%s' "$stamp_value" >"$root/.tarnvel-stamp"
}

# Runs a command in the root with the clone mounted at the same path, so that
# build trees and error messages carry the same paths inside and out.
in_root() {
  unshare --mount --propagation private -- /bin/bash -c '
    set -e
    root=$1 repo=$2; shift 2
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs tmpfs "$root/tmp"
    # tracefs alone, for the system-call counter of the bench; without it the
    # bench says the counts are unavailable.
    { mkdir -p "$root/sys/kernel/tracing" && mount -t tracefs tracefs "$root/sys/kernel/tracing"; } 2>/dev/null || true
    # After the tmpfs, so that a clone under /tmp gets its mount point too.
    mkdir -p "$root$repo"
    mount --bind "$repo" "$root$repo"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
      CI="${CI:-}" TERM="${TERM:-dumb}" "$@"
  ' bash "$root" "$repo" "$@"
}

if [ $# -eq 0 ]; then set -- bash; fi
if host_has_everything && [ -z "${TARNVEL_FORCE_ROOT:-}" ]; then
  exec "$@"
fi
# Two first runs at once would build the same root; the second waits.
mkdir -p "$(dirname "$root")"
exec 9>"$(dirname "$root")/.lock"
flock 9
ensure_root
exec 9>&-
in_root "$@"
