#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Sets up what the kit needs, builds it and runs one job:
#   ./run.sh demo    the demo reading the sample card from the virtual reader
#   ./run.sh test    every test
#   ./run.sh bench   the benchmarks, and the figures of several readers
#   ./run.sh build   build only
# BUILD_DIR (default build) and VESSIK_CMAKE_ARGS change where and how it builds.
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
# What building needs (the demo job), and what the tests add: the web page's
# browser test drives Debian's chromium (a CJK font shows the card's text)
# with playwright-core, which it installs from npm into the build tree; the
# Python package's install test builds it with pip alone (python3-venv brings
# Debian's pip wheel, which the test also runs in a Python without pip);
# vessikd's answers are checked against its OpenAPI document with jsonschema.
PACKAGES=(cmake ninja-build g++ pkg-config binutils python3
          libusb-1.0-0-dev umockdev libumockdev-dev libpng-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcpp-httplib-dev libsystemd-dev scdoc)
TEST_PACKAGES=(chromium fonts-wqy-zenhei python3-venv lintian python3-jsonschema python3-pil)

# shellcheck source=scripts/apt-install.sh
. scripts/apt-install.sh

install_missing() {
  local wanted=("${PACKAGES[@]}" "$@")
  # Node.js with npm often comes from elsewhere than Debian (whose npm package
  # conflicts with such a nodejs): take Debian's only when there is none.
  if [ $# -gt 0 ] && ! command -v npm >/dev/null 2>&1; then
    wanted+=(nodejs npm)
  fi
  apt_install_missing "${wanted[@]}"
}

build() {
  # shellcheck disable=SC2086
  cmake -S . -B "$BUILD_DIR" -G Ninja ${VESSIK_CMAKE_ARGS:-}
  cmake --build "$BUILD_DIR"
}

job=${1:-}
case "$job" in
  demo)
    install_missing
    build
    exec "$BUILD_DIR/tools/virtual-reader/vessik-virtual-reader" --card sim/cards/sample.card -- \
      "$BUILD_DIR/demo/vessik_demo"
    ;;
  test)
    install_missing "${TEST_PACKAGES[@]}"
    build
    cd "$BUILD_DIR"
    ctest --output-on-failure -j "$(nproc)"
    ;;
  bench)
    install_missing
    build
    for b in "$BUILD_DIR"/bench/vessik_bench_*; do "$b"; done
    # Several readers in one process, under the virtual reader launcher.
    launcher="$BUILD_DIR/tools/virtual-reader/vessik-virtual-reader"
    figures="$BUILD_DIR/bench/vessik_reader_figures"
    if [ -x "$launcher" ] && [ -x "$figures" ]; then
      "$launcher" --readers 2 -- "$figures" together 10
      "$launcher" --readers 4 --no-card -- "$figures" idle 10
      "$launcher" --no-card -- "$figures" raw-idle 10
      # vessik_read's CPU while it waits with no card, and its overhead per read.
      "$launcher" --no-card -- "$BUILD_DIR/bench/vessik_api_figures" idle 5
      "$launcher" -- "$BUILD_DIR/bench/vessik_api_figures" overhead 10
      # The documented read against raw libusb; the demo's idle CPU and memory.
      bash bench/figures.sh "$BUILD_DIR" 10
      # A module on a serial line: read time against the wire, and idle CPU.
      serial="$BUILD_DIR/bench/vessik_serial_figures"
      "$launcher" --serial --fault serial-wire-time -- "$serial" read 115200 5
      "$launcher" --serial-rate 9600 --fault serial-wire-time -- "$serial" read 9600 3
      "$launcher" --serial --no-card -- "$serial" idle 115200 10
      # Time to card, fixed wait against answer driven, on modules of each read time.
      card_time="$BUILD_DIR/bench/vessik_card_time_figures"
      for ms in 300 600 900 1200; do
        "$launcher" --no-card --control --card-read-ms "$ms" -- "$card_time" usb "$ms" 0 5
        "$launcher" --serial --no-card --control --card-read-ms "$ms" \
          --fault serial-wire-time -- "$card_time" serial "$ms" 115200 5
      done
      # The Python package: a read's cost beyond the C read, and its import time.
      VESSIK_LIBRARY="$BUILD_DIR/lib/libvessik.so.1" \
        VESSIK_PHOTO_DECODER="$BUILD_DIR/wltdec/libwltdec64.so" PYTHONPATH=python \
        "$launcher" -- /usr/bin/python3 bench/python_figures.py "$figures" 20
    fi
    ;;
  build)
    install_missing
    build
    ;;
  *)
    echo "usage: $0 demo|test|bench|build" >&2
    exit 2
    ;;
esac
