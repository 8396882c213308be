#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The Debian packages, built as a packager would: a tree configured for /usr,
# then cpack -G DEB.
#
# deb_test.sh build SOURCE_DIR WORK_DIR
#   configures, builds and packs; checks each package's fields, dependencies
#   and contents with dpkg-deb.
# deb_test.sh install WORK_DIR TEST_DECODER
#   (root only) installs the packages with apt, runs the installed demo under
#   the installed launcher and the installed doctor, swaps TEST_DECODER in for
#   the stand-in through the alternative and back, and removes the packages.
set -euo pipefail

readonly skip_status=77    # ctest's SKIP_RETURN_CODE
readonly stopped_status=124 # the launcher's status when --stop-after ended the program
readonly packages=(libvessik1 libvessik-dev libwltdec64-standin vessik-tools vessik-virtual-reader
                   python3-vessik)
readonly run_limit_s=20
readonly demo_run_s=4         # the demo reads the sample card well within this
readonly test_decoder_priority=50 # above the stand-in's
script_dir=$(dirname "$(realpath "$0")")
readonly script_dir

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

deb_of() { compgen -G "$debs/$1_*.deb" | head -n 1; }
field() { dpkg-deb -f "$(deb_of "$1")" "$2"; }
contents() { dpkg-deb -c "$(deb_of "$1")" | awk '{ print $6 }' | sed 's|^\./|/|'; }

expect_field() { # PACKAGE FIELD TEXT: the field holds TEXT
  local value
  value=$(field "$1" "$2")
  [[ "$value" == *"$3"* ]] || fail "$1 $2 is '$value', expected it to hold '$3'"
}
expect_file() { # PACKAGE PATTERN: a path of the package matches PATTERN
  grep -Eq "^$2\$" <<<"${listing[$1]}" || fail "$1 holds no $2"
}
expect_no_file() {
  ! grep -Eq "^$2\$" <<<"${listing[$1]}" || fail "$1 must not hold $2"
}
expect_no_field() { # PACKAGE FIELD TEXT: the field does not hold TEXT
  local value
  value=$(field "$1" "$2")
  [[ "$value" != *"$3"* ]] || fail "$1 $2 is '$value', which must not hold '$3'"
}

# A tree configured for another prefix is refused by cpack: its units and
# settings would name paths the packages do not use.
refuse_other_prefix() {
  local src=$1 work=$2
  local tree=$work/tree-usr-local
  step "cpack refuses a tree configured for /usr/local"
  cmake -S "$src" -B "$tree" "${generator[@]}" -DCMAKE_INSTALL_PREFIX=/usr/local \
    -DVESSIK_BUILD_TESTS=OFF -DVESSIK_BUILD_BENCH=OFF >"$work/configure-usr-local.log" 2>&1 ||
    { cat "$work/configure-usr-local.log"; fail "configure for /usr/local"; }
  local out status=0
  out=$(cd "$tree" && cpack -G DEB -B "$work/debs-usr-local" 2>&1) || status=$?
  [ "$status" -ne 0 ] || fail "cpack packed a tree configured for /usr/local"
  grep -q "CMAKE_INSTALL_PREFIX=/usr" <<<"$out" || { echo "$out"; fail "cpack did not say why"; }
}

# Debian's own judge of packages: any error or warning fails (overrides, each
# with its reason, are shipped in the packages). Skipped where lintian is not
# installed; ./run.sh test installs it.
check_lintian() {
  if ! command -v lintian >/dev/null; then
    echo "lintian is not installed: not run"
    return
  fi
  step "lintian"
  local out
  out=$(lintian --no-cfg --fail-on none "$debs"/*.deb 2>&1 | grep -E '^[EW]: ' || true)
  [ -z "$out" ] || fail "lintian:"$'\n'"$out"
}

# The programs load the photo decoder themselves when there is one: from the
# packages extracted without the stand-in (`unpacked` holds libvessik1 and
# vessik-tools) they start, and the doctor says that none is loaded.
tools_start_without_decoder() {
  local unpacked=$1 libdir=$2 program out
  step "the tools start without a photo decoder"
  local run=(env LD_LIBRARY_PATH="$unpacked$libdir")
  for program in vessik-read vessik-doctor vessikd; do
    out=$("${run[@]}" "$unpacked/usr/bin/$program" --help 2>&1) ||
      { echo "$out"; fail "$program does not start without a photo decoder"; }
  done
  out=$("${run[@]}" "$unpacked/usr/bin/vessik-doctor" 2>&1) || true
  if ldconfig -p | grep -q 'libwltdec64\.so '; then
    echo "this machine has a libwltdec64.so of its own: the doctor's 'none loaded' not checked"
  else
    grep -qx "photo decoder: none loaded (nothing supplies saveWlt2BmpUseFork)" <<<"$out" ||
      { echo "$out"; fail "the doctor did not say that no photo decoder is loaded"; }
  fi
}

build_and_check() {
  local src=$1 work=$2
  local tree=$work/tree
  debs=$work/debs
  rm -rf "$debs"
  mkdir -p "$work"

  step "configure and build for /usr"
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S "$src" -B "$tree" "${generator[@]}" -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_BUILD_TYPE=Release -DVESSIK_BUILD_TESTS=OFF -DVESSIK_BUILD_BENCH=OFF \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
  cmake --build "$tree" --target vessik_packaged >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; fail "build"; }

  step "cpack -G DEB"
  (cd "$tree" && cpack -G DEB -B "$debs") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }

  local libdir version arch
  libdir=/usr/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$tree/CMakeCache.txt")
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")-1
  arch=$(dpkg --print-architecture)
  declare -gA listing
  local p
  for p in "${packages[@]}"; do
    local p_arch=$arch
    [ "$p" = python3-vessik ] && p_arch=all # pure Python
    [ -f "$debs/${p}_${version}_${p_arch}.deb" ] || fail "no package ${p}_${version}_${p_arch}.deb"
    listing[$p]=$(contents "$p")
    printf '%-22s %8s bytes  %s\n' "$p" "$(stat -c %s "$(deb_of "$p")")" "$(field "$p" Depends)"
  done

  step "fields and dependencies"
  expect_field libvessik1 Section libs
  expect_field libvessik1 Depends libusb-1.0-0
  expect_field libvessik1 Depends "libc6 (>= 2.34)"
  expect_field libvessik1 Depends libpng16-16
  expect_field libvessik-dev Depends "libvessik1 (= $version)"
  expect_field libvessik-dev Depends libusb-1.0-0-dev
  expect_field libvessik-dev Depends "libwltdec64-standin | libwltdec64"
  expect_field vessik-tools Depends "libvessik1 (= $version)"
  expect_field vessik-tools Depends "libwltdec64-standin | libwltdec64"
  expect_field vessik-tools Depends "libcpp-httplib0."
  expect_field vessik-tools Depends libsystemd0
  # The test reader and umockdev stay off production machines.
  expect_no_field vessik-tools Depends libumockdev0
  expect_field vessik-virtual-reader Depends libumockdev0
  expect_field libwltdec64-standin Provides libwltdec64
  expect_field python3-vessik Depends "libvessik1 (= $version)"
  expect_field python3-vessik Depends "libwltdec64-standin | libwltdec64"

  step "contents"
  expect_file libvessik1 "$libdir/libvessik\.so\.1\.[0-9.]+"
  expect_file libvessik1 "$libdir/libvessik\.so\.1"
  expect_file libvessik1 "/usr/lib/udev/rules\.d/60-vessik\.rules"
  expect_file libvessik1 "/usr/lib/sysusers\.d/vessik\.conf"
  expect_no_file libvessik1 "$libdir/libvessik\.so"
  expect_no_file libvessik1 ".*/include/.*"
  expect_file libvessik-dev "$libdir/libvessik\.so"
  expect_file libvessik-dev "/usr/include/vessik/(vessik|CardMain|NvUsb|NvSerial|Common|Public|IdCardLib)\.h"
  [ "$(grep -c '^/usr/include/vessik/.*\.h$' <<<"${listing[libvessik-dev]}")" -ge 7 ] ||
    fail "libvessik-dev lacks headers"
  # NvUsb.h includes it: the reader ids, made from their table at build time.
  expect_file libvessik-dev "/usr/include/vessik/vessik_usb_ids\.h"
  expect_file libvessik-dev "$libdir/pkgconfig/vessik\.pc"
  expect_file libvessik-dev "$libdir/cmake/vessik/vessik-config\.cmake"
  expect_file libvessik-dev "$libdir/cmake/vessik/vessik-targets\.cmake"
  expect_no_file libvessik-dev "$libdir/libvessik\.so\.1.*"
  expect_file libwltdec64-standin "$libdir/vessik/libwltdec64\.so"
  # The link name belongs to the alternative, never to a package.
  local p2
  for p2 in "${packages[@]}"; do
    expect_no_file "$p2" "$libdir/libwltdec64\.so"
    # The licence and the changelog, in the package's own doc folder.
    expect_file "$p2" "/usr/share/doc/$p2/copyright"
    expect_file "$p2" "/usr/share/doc/$p2/changelog\.Debian\.gz"
  done
  expect_file vessik-tools "/usr/bin/vessik_demo"
  expect_file vessik-virtual-reader "/usr/bin/vessik-virtual-reader"
  expect_no_file vessik-tools "/usr/bin/vessik-virtual-reader"
  expect_file vessik-tools "/usr/bin/vessik-doctor"
  expect_file vessik-virtual-reader "/usr/share/vessik/cards/sample\.card"
  expect_file vessik-tools "/usr/bin/vessik-read"
  expect_file vessik-tools "/usr/bin/vessikd"
  expect_file vessik-tools "/etc/vessik/vessikd\.conf"
  expect_file vessik-tools "/usr/share/vessik/openapi\.json"
  expect_file vessik-tools "/usr/lib/systemd/system/vessikd\.service"
  expect_file vessik-tools "/usr/lib/systemd/system/vessikd\.socket"
  expect_file vessik-tools "/usr/lib/sysusers\.d/vessikd\.conf"
  expect_file vessik-tools "/usr/lib/systemd/system-generators/vessikd-serial-generator"
  expect_file python3-vessik "/usr/lib/python3/dist-packages/vessik/__init__\.py"
  expect_file python3-vessik "/usr/lib/python3/dist-packages/vessik/py\.typed"
  expect_file python3-vessik "/usr/bin/vessik"
  expect_no_file python3-vessik ".*\.pyc"
  # Every program's manual page, compressed, beside the program (the build
  # makes them when scdoc is installed; the packages need them).
  local page
  for page in man1/vessik_demo.1 man1/vessik-read.1 man1/vessik-doctor.1 man8/vessikd.8 \
              man5/vessikd.conf.5; do
    expect_file vessik-tools "/usr/share/man/${page//./\\.}\.gz"
  done
  expect_file vessik-virtual-reader "/usr/share/man/man1/vessik-virtual-reader\.1\.gz"

  check_lintian

  step "the packaged udev rule is the generated one"
  local unpacked=$work/unpacked
  rm -rf "$unpacked"
  dpkg-deb -x "$(deb_of libvessik1)" "$unpacked"
  cmp "$unpacked/usr/lib/udev/rules.d/60-vessik.rules" "$tree/packaging/60-vessik.rules" ||
    fail "packaged udev rule"

  step "control files"
  local control=$work/control
  rm -rf "$control"
  dpkg-deb -e "$(deb_of libwltdec64-standin)" "$control"
  grep -q "update-alternatives --install $libdir/libwltdec64.so" "$control/postinst" ||
    fail "the stand-in's postinst does not offer the alternative"
  grep -q "update-alternatives --remove" "$control/prerm" || fail "the stand-in's prerm"
  rm -rf "$control"
  dpkg-deb -e "$(deb_of libvessik1)" "$control"
  grep -q "^libvessik 1 libvessik1" "$control/shlibs" || fail "libvessik1 shlibs"
  grep -q "ldconfig" "$control/triggers" || fail "libvessik1 does not trigger ldconfig"
  rm -rf "$control"
  dpkg-deb -e "$(deb_of vessik-tools)" "$control"
  grep -qx "/etc/vessik/vessikd.conf" "$control/conffiles" || fail "vessikd.conf is not a conffile"
  grep -q "systemd-sysusers" "$control/postinst" || fail "vessik-tools' postinst makes no user"
  grep -q "daemon-reload" "$control/postinst" || fail "vessik-tools' postinst does not reload systemd"
  grep -q "daemon-reload" "$control/postrm" || fail "vessik-tools' postrm does not reload systemd"
  ! grep -v '^ *#' "$control/postinst" | grep -Eq "systemctl.*(enable|start)|deb-systemd" ||
    fail "vessik-tools' postinst enables or starts the service"
  rm -rf "$control"
  dpkg-deb -e "$(deb_of libvessik1)" "$control"
  grep -q "systemd-sysusers" "$control/postinst" || fail "libvessik1's postinst makes no group"

  step "the unit runs the packaged program, without core files"
  dpkg-deb -x "$(deb_of vessik-tools)" "$unpacked"
  local unit=$unpacked/usr/lib/systemd/system/vessikd.service
  grep -q "^ExecStart=/usr/bin/vessikd " "$unit" || fail "the unit does not run /usr/bin/vessikd"
  grep -qx "LimitCORE=0" "$unit" || fail "the unit allows core files"
  grep -qx "SupplementaryGroups=vessik" "$unit" || fail "the unit's group is not vessik"
  grep -qx "Requires=vessikd.socket" "$unit" || fail "the unit does not take the socket"
  grep -q "^u vessikd " "$unpacked/usr/lib/sysusers.d/vessikd.conf" || fail "no vessikd user"

  step "no RPATH in packaged programs"
  local elf
  for elf in "$unpacked$libdir"/libvessik.so.1.*; do
    readelf -d "$elf" | grep -q "SONAME.*\[libvessik\.so\.1\]" || fail "SONAME of $elf"
  done
  dpkg-deb -x "$(deb_of vessik-tools)" "$unpacked"
  for elf in "$unpacked"/usr/bin/*; do
    ! readelf -d "$elf" | grep -Eq "RPATH|RUNPATH" || fail "$elf carries an RPATH"
  done
  tools_start_without_decoder "$unpacked" "$libdir"
  refuse_other_prefix "$src" "$work"
  echo "packages built and checked in $debs"
}

# --- installing ---------------------------------------------------------------

apt_quiet() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -q "$@" >>"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log"; fail "apt-get $*"; }
}

remove_packages() {
  local installed=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" && installed+=("$p")
  done
  [ ${#installed[@]} -eq 0 ] || apt_quiet purge "${installed[@]}"
}

install_and_run() {
  work=$1
  local test_decoder=$2
  debs=$work/debs
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the .deb packages needs root (CI runs as root)"
    exit $skip_status
  fi
  command -v apt-get >/dev/null || { echo "SKIP: no apt-get here"; exit $skip_status; }

  local libdir alternative
  libdir=$(dirname "$(dpkg-deb -c "$(deb_of libvessik1)" | awk '{ print $6 }' |
                      grep -m1 'libvessik\.so\.1$' | sed 's|^\.||')")
  alternative=libwltdec64.so
  local triplet
  triplet=$(gcc -print-multiarch 2>/dev/null || true)
  [ -n "$triplet" ] && alternative=$alternative-$triplet

  step "apt-get install"
  remove_packages
  trap 'update-alternatives --remove "$alternative" "$test_decoder" >/dev/null 2>&1 || true; remove_packages' EXIT
  local files=()
  local p
  for p in "${packages[@]}"; do files+=("$(deb_of "$p")"); done
  apt_quiet install "${files[@]}"

  if command -v systemd-sysusers >/dev/null; then
    step "the service's user and the reader's group"
    getent group vessik >/dev/null || fail "no group vessik after install"
    id -nG vessikd | grep -qw vessik || fail "vessikd is not in the group vessik"
  fi

  step "the stand-in is the decoder"
  [ "$(readlink -f "$libdir/libwltdec64.so")" = "$libdir/vessik/libwltdec64.so" ] ||
    fail "$libdir/libwltdec64.so does not lead to the stand-in"
  update-alternatives --query "$alternative" | grep -q "^Value: $libdir/vessik/libwltdec64.so" ||
    fail "the alternative $alternative does not choose the stand-in"

  step "installed demo under the installed launcher"
  local card=/usr/share/vessik/cards/sample.card cardno out status
  cardno=$(sed -n 's/^id_number *= *//p' "$card")
  status=0
  out=$(cd "$work" && vessik-virtual-reader --card "$card" --stop-after "$demo_run_s" -- vessik_demo 2>&1) ||
    status=$?
  [ "$status" -eq $stopped_status ] || { echo "$out"; fail "the demo ended with $status, not stopped"; }
  grep -q "cardno:$cardno" <<<"$out" || { echo "$out"; fail "the demo did not print the sample card"; }
  grep -q "this is the stand-in" <<<"$out" || { echo "$out"; fail "the demo did not reach the stand-in"; }

  step "installed doctor under the installed launcher"
  status=0
  out=$(vessik-virtual-reader --stop-after "$run_limit_s" -- vessik-doctor 2>&1) || status=$?
  [ "$status" -eq 0 ] || { echo "$out"; fail "vessik-doctor exited $status with a reader"; }
  grep -q "is the kit's stand-in" <<<"$out" || { echo "$out"; fail "the doctor missed the stand-in"; }

  step "a real decoder registered above the stand-in takes its place"
  update-alternatives --install "$libdir/libwltdec64.so" "$alternative" "$test_decoder" \
    $test_decoder_priority >/dev/null
  out=$(vessik-virtual-reader --stop-after "$run_limit_s" -- vessik-doctor 2>&1) || true
  local named
  named=$(sed -n 's/^photo decoder: \([^ ]*\)$/\1/p' <<<"$out")
  if [ -z "$named" ] || [ "$(readlink -f "$named")" != "$(readlink -f "$test_decoder")" ]; then
    echo "$out"
    fail "the doctor does not see the registered decoder"
  fi
  status=0
  out=$(cd "$work" && vessik-virtual-reader --card "$card" --stop-after "$demo_run_s" -- vessik_demo 2>&1) ||
    status=$?
  [ "$status" -eq $stopped_status ] || { echo "$out"; fail "the demo ended with $status, not stopped"; }
  grep -q "test decoder: asked to write /mnt/$cardno.jpg" <<<"$out" ||
    { echo "$out"; fail "the demo did not call the registered decoder"; }
  ! grep -q "this is the stand-in" <<<"$out" || fail "the stand-in still answered"
  update-alternatives --remove "$alternative" "$test_decoder" >/dev/null
  [ "$(readlink -f "$libdir/libwltdec64.so")" = "$libdir/vessik/libwltdec64.so" ] ||
    fail "removing the decoder did not bring the stand-in back"

  step "a client built against the installed packages"
  # shellcheck disable=SC2046
  cc -std=c99 -o "$work/system_client" "$script_dir/consumer/client.c" \
    $(pkg-config --cflags --libs vessik)
  out=$(vessik-virtual-reader --card "$card" --stop-after "$run_limit_s" -- \
        "$work/system_client" card "$cardno" 2>&1) || { echo "$out"; fail "system client"; }

  step "the installed Python package, byte-compiled, under the installed launcher"
  [ -n "$(compgen -G "/usr/lib/python3/dist-packages/vessik/__pycache__/*.pyc")" ] ||
    fail "python3-vessik was not byte-compiled"
  out=$(cd "$work" && vessik-virtual-reader --card "$card" --stop-after "$run_limit_s" -- \
        /usr/bin/python3 -c 'import vessik; print(vessik.read(timeout=5).id_number)' 2>&1) ||
    { echo "$out"; fail "python3 -c 'import vessik; ...'"; }
  [ "$out" = "$cardno" ] || { echo "$out"; fail "the Python package did not read the sample card"; }
  mkdir -p "$work/decoy/vessik"
  echo 'raise SystemExit("the decoy was imported")' >"$work/decoy/vessik/__init__.py"
  (cd "$work/decoy" && vessik --help >/dev/null) ||
    fail "vessik --help from a folder with a vessik/ folder"

  step "apt-get purge"
  trap - EXIT
  remove_packages
  [ ! -e "$libdir/libwltdec64.so" ] || fail "$libdir/libwltdec64.so is left after purge"
  [ ! -e /usr/lib/python3/dist-packages/vessik ] || fail "the Python package is left after purge"
  ! update-alternatives --query "$alternative" >/dev/null 2>&1 || fail "the alternative is left"
  echo "packages installed, run and removed"
}

case ${1:-} in
  build) build_and_check "$(realpath "$2")" "$(realpath -m "$3")" ;;
  install) install_and_run "$(realpath "$2")" "$(realpath "$3")" ;;
  *) echo "usage: $0 build SOURCE_DIR WORK_DIR | install WORK_DIR TEST_DECODER" >&2; exit 2 ;;
esac
