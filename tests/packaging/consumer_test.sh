#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the kit into a staging folder (DESTDIR) and builds a C99 and a C++
# client from that tree alone, as an integrator would: once with pkg-config and
# once with find_package(vessik). The clients then run with no reader and,
# when the launcher is built, against the virtual reader holding a card.
#
# consumer_test.sh BUILD_DIR CONSUMER_SRC WORK_DIR UDEV_RULE CARD_FILE [LAUNCHER]
set -euo pipefail

abs() { realpath -m "$1"; }
build=$(abs "$1") consumer_src=$(abs "$2") work=$(abs "$3") udev_rule=$(abs "$4") card=$(abs "$5")
launcher=${6:+$(abs "$6")}
stage=$work/stage
run_limit_s=20

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

rm -rf "$work"
mkdir -p "$work"
cd "$work"

step "install into $stage"
DESTDIR=$stage cmake --install "$build" >install.log
prefix=$stage$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
libdir=$prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for f in "$libdir/libvessik.so" "$libdir/libwltdec64.so" "$libdir/pkgconfig/vessik.pc" \
         "$libdir/cmake/vessik/vessik-config.cmake" "$prefix/include/vessik/vessik.h" \
         "$prefix/include/vessik/IdCardLib.h" "$prefix/share/vessik/cards/sample.card" \
         "$prefix/bin/vessik_demo"; do
  [ -e "$f" ] || fail "not installed: $f"
done
cmp "$udev_rule" "$prefix/lib/udev/rules.d/$(basename "$udev_rule")" ||
  fail "the installed udev rule differs from the generated one"
# Relocatable: no file of the CMake package names the prefix it was built for.
if grep -rl "$build\|$prefix" "$libdir/cmake/vessik" "$libdir/pkgconfig"; then
  fail "the CMake package or vessik.pc holds an absolute path"
fi

step "pkg-config build"
export PKG_CONFIG_PATH=$libdir/pkgconfig
pc_libdir=$(pkg-config --variable=libdir vessik)
mkdir -p pc
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror -o pc/client_c "$consumer_src/client.c" \
  $(pkg-config --cflags --libs vessik) -Wl,-rpath,"$pc_libdir"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -pedantic -Werror -o pc/client_cxx "$consumer_src/client.cpp" \
  $(pkg-config --cflags --libs vessik) -Wl,-rpath,"$pc_libdir"

step "find_package build"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$consumer_src" -B cm "${generator[@]}" -DCMAKE_PREFIX_PATH="$prefix" >cm-configure.log ||
  { cat cm-configure.log; fail "find_package(vessik) project does not configure"; }
cmake --build cm >cm-build.log || { cat cm-build.log; fail "find_package(vessik) build"; }

# Each client must take libvessik and the decoder from the staged tree.
staged_libs() {
  local lib path stage_real
  stage_real=$(realpath "$stage")
  for lib in libvessik.so.1 libwltdec64.so; do
    path=$(ldd "$1" | awk -v lib="$lib" '$1 == lib { print $3 }')
    if [ -z "$path" ] || [[ "$(realpath "$path")" != "$stage_real"/* ]]; then
      ldd "$1"
      fail "$1 does not load $lib from the staged tree"
    fi
  done
}

expected_cardno=$(sed -n 's/^id_number *= *//p' "$card")
clients=(pc/client_c pc/client_cxx cm/client_c cm/client_cxx)
for client in "${clients[@]}"; do
  staged_libs "$client"

  step "$client with no reader"
  if [ -n "$launcher" ]; then
    out=$("$launcher" --no-reader --stop-after "$run_limit_s" -- "./$client" none 2>&1) ||
      { echo "$out"; fail "$client with no reader"; }
  else
    out=$("./$client" none 2>&1) || { echo "$out"; fail "$client with no reader"; }
  fi
  grep -q "^client: usb result 5" <<<"$out" || { echo "$out"; fail "$client: no result 5"; }

  [ -n "$launcher" ] || continue
  step "$client with the virtual reader"
  out=$("$launcher" --card "$card" --stop-after "$run_limit_s" -- "./$client" card \
        "$expected_cardno" 2>&1) || { echo "$out"; fail "$client with the sample card"; }
  grep -q "^client: usb result 1" <<<"$out" || { echo "$out"; fail "$client: no card read"; }
done
# The C client also hands the photo to the decoder: the staged stand-in answers.
if [ -n "$launcher" ]; then
  out=$("$launcher" --card "$card" --stop-after "$run_limit_s" -- ./cm/client_c card \
        "$expected_cardno" 2>&1) || { echo "$out"; fail "cm/client_c with the sample card"; }
  grep -q "^client: SaveImage -1" <<<"$out" || { echo "$out"; fail "SaveImage did not reach the stand-in"; }
  grep -q "this is the stand-in" <<<"$out" || { echo "$out"; fail "the stand-in did not say so"; }
fi

[ -n "$launcher" ] || echo "note: the virtual reader launcher is not built; ran with no reader only"
echo "staged install: 4 clients built and run"
