#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the kit for other CPUs with Debian's cross compilers and runs its
# in-process suites there under qemu-user:
#   scripts/cross.sh [arm64|s390x|mips64el]...   (no argument: all three)
# arm64 is little-endian like x86-64; s390x is big-endian and shows any
# assumption about the host's byte order; mips64el (Loongson) takes no SIMD
# path of the kit's and has ioctl and termios numbers of its own. Built for
# each: the library, the stand-in photo decoder, the test bus and every
# suite that runs in one process through it (decoding, helpers, USB and
# serial transport, card read, extended read, maintenance, the linking
# surface) with the fuzz corpus replays. Left to x86-64: the virtual reader launcher (umockdev) and
# all that runs under it, the service and its browser page, the Python
# package, the packaging tests and the soaks. For arm64 and mips64el the
# Debian packages are made too, and their architecture and dependencies
# checked.
# CROSS_BUILD_DIR_PREFIX (build-cross-) and JOBS (nproc) change where and how.
set -euo pipefail
cd "$(dirname "$0")/.."

CROSS_BUILD_DIR_PREFIX=${CROSS_BUILD_DIR_PREFIX:-build-cross-}
JOBS=${JOBS:-$(nproc)}

# Not run under emulation: qemu-user gives select() its whole timeout again
# after each signal (it does not write back the time left), so the read's
# budget under a signal storm stretches to the storm's length. Native runs
# keep the check.
EMULATION_SKIPPED='^TransferTest\.ReadSerialKeepsItsBudgetUnderASignalStorm$'
# A test that fails is run once more: under emulation on a busy machine a
# thread may get no time slice for longer than a test's timing allows.
# Suites that need the launcher, the system's packages or hours of reads.
NOT_CROSS_LABELS='^(packaging|e2e|service|python|soak)$'

# shellcheck source=scripts/apt-install.sh
. scripts/apt-install.sh

stage() {
  echo
  echo "=== cross: $* ($(date -u +%H:%M:%S))"
}

triplet_of() {
  case "$1" in
    arm64) echo aarch64-linux-gnu ;;
    s390x) echo s390x-linux-gnu ;;
    mips64el) echo mips64el-linux-gnuabi64 ;;
    *) return 1 ;;
  esac
}

# The cross compiler, qemu-user, and the target's libraries beside the
# host's (multiarch): libusb's headers and .pc, GoogleTest, Google Benchmark.
install_cross_packages() {
  local arch=$1 sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
    "${sudo[@]}" apt-get update
  fi
  apt_install_missing "crossbuild-essential-$arch" qemu-user pkg-config cmake ninja-build \
    "libusb-1.0-0-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch" \
    "libbenchmark-dev:$arch"
  # The target's libpng must be the host's version (multi-arch); where the
  # archive lags for this target, the photo's PNG tests are left out.
  apt_install_missing "libpng-dev:$arch" ||
    echo "cross: libpng-dev:$arch cannot be installed beside the host's libpng; the PNG tests are left out"
}

# Made and checked from the target's tree: every package is for it (the
# Python one is for all), and none asks for a package of the build machine's.
check_packages() {
  local dir=$1 arch=$2 deb status=0 triplet
  triplet=$(triplet_of "$arch")
  stage "$arch: Debian packages"
  (cd "$dir" && rm -f ./*.deb && cpack -G DEB >/dev/null)
  for deb in "$dir"/*.deb; do
    local name want got
    name=$(dpkg-deb -f "$deb" Package)
    got=$(dpkg-deb -f "$deb" Architecture)
    want=$arch
    [ "$name" = python3-vessik ] && want=all
    printf '%-22s %-6s %8s bytes  Depends: %s\n' "$name" "$got" "$(stat -c %s "$deb")" \
      "$(dpkg-deb -f "$deb" Depends)"
    if [ "$got" != "$want" ]; then
      echo "cross: $name is for $got, not $want" >&2
      status=1
    fi
    if dpkg-deb -f "$deb" Depends | grep -q ':amd64'; then
      echo "cross: $name depends on a package of the build machine" >&2
      status=1
    fi
    # Every program and library inside is built for the target.
    local tmp
    tmp=$(mktemp -d)
    dpkg-deb -x "$deb" "$tmp"
    if find "$tmp" -type f -exec file {} + | grep ELF | grep -qv "$(machine_of "$arch")"; then
      echo "cross: $name holds a program or library that is not for $arch" >&2
      status=1
    fi
    # Libraries lie in the multiarch folder, as Debian's own do for every CPU.
    if find "$tmp" -name '*.so*' ! -path "$tmp/usr/lib/$triplet/*" | grep -q .; then
      echo "cross: $name holds a library outside /usr/lib/$triplet" >&2
      status=1
    fi
    rm -rf "$tmp"
  done
  return "$status"
}

# The card text benchmark on the emulated CPU: only its ratio to iconv on the
# same CPU means anything (it also checks that both fill the record alike).
# Google Benchmark reads /proc/cpuinfo in the target's format, which
# qemu-s390x does not fake: it finds one in the folder given with -L first.
decode_figures() {
  local dir=$1 arch=$2 root=/
  stage "$arch: card text decoding against iconv, under emulation"
  if [ "$arch" = s390x ]; then
    root="$dir/qemu-root"
    mkdir -p "$root/proc"
    printf '%s\n' 'vendor_id       : IBM/S390' '# processors    : 1' \
      'processor 0: version = FF,  identification = 000000,  machine = 2964' >"$root/proc/cpuinfo"
  fi
  "qemu-$(qemu_of "$arch")" -L "$root" "$dir/bench/vessik_bench_text" \
    --benchmark_min_time=0.2 --benchmark_counters_tabular=true
}

qemu_of() {
  case "$1" in
    arm64) echo aarch64 ;;
    s390x) echo s390x ;;
    mips64el) echo mips64el ;;
  esac
}

machine_of() {
  case "$1" in
    arm64) echo 'ARM aarch64' ;;
    s390x) echo 'IBM S/390' ;;
    mips64el) echo 'LSB.*MIPS64' ;;
  esac
}

run_target() {
  local arch=$1 triplet dir
  triplet=$(triplet_of "$arch") || {
    echo "usage: $0 [arm64|s390x|mips64el]..." >&2
    return 2
  }
  dir="$CROSS_BUILD_DIR_PREFIX$arch"
  stage "$arch: packages for the cross build"
  install_cross_packages "$arch"

  stage "$arch: build"
  # /usr, so that the tree also makes the Debian packages.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triplet.cmake" \
    -DCMAKE_INSTALL_PREFIX=/usr -DVESSIK_BUILD_TOOLS=OFF
  cmake --build "$dir" -j "$JOBS"

  stage "$arch: tests under qemu-user"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$JOBS" --repeat until-pass:2 \
    -LE "$NOT_CROSS_LABELS" -E "$EMULATION_SKIPPED")

  decode_figures "$dir" "$arch"

  if [ "$arch" = arm64 ] || [ "$arch" = mips64el ]; then
    apt_install_missing file
    check_packages "$dir" "$arch"
  fi
}

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(arm64 s390x mips64el)
for t in "${targets[@]}"; do
  start=$SECONDS
  run_target "$t"
  echo "=== cross: $t took $((SECONDS - start)) s"
done
