#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs the README's quick start, `./run.sh demo` then `./run.sh test`, as root
# in a throwaway minimal Debian 12: what a new user with only the usual C++
# tools sees. Not part of CI (it builds everything from nothing); run it before
# closing any change to an install step.
#
#   scripts/fresh-debian.sh            a fresh run on this checkout's HEAD
#   scripts/fresh-debian.sh --prepare  only make (or check) the cached root
#
# The minimal root (debootstrap --variant=minbase bookworm, plus the packages
# below) is made once and kept in VESSIK_FRESH_CACHE (default
# /var/cache/vessik-fresh); each run gets a fresh overlay on it (a copy where
# overlayfs cannot be mounted), a clone of HEAD in /root/libvessik, where a
# newcomer working as root clones it (a folder of mode 0700 that the tests
# running a program as another user must not need to enter), and this
# machine's own certificate authorities, so that it reaches the same package
# registries. Everything else the kit's own steps must
# install. Uncommitted changes are not in the clone.
#
# It prints the time to the first card and the test result; exit status 0
# only when the demo showed a card and every test passed, none skipped.
# DEMO_TIMEOUT and TEST_TIMEOUT (seconds) bound the two commands;
# DEBIAN_MIRROR picks the mirror; KEEP_RUN=1 keeps the run's folder. The logs
# (the demo's up to its first card, and the tests') stay in the cache's logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

cache=${VESSIK_FRESH_CACHE:-/var/cache/vessik-fresh}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
demo_timeout=${DEMO_TIMEOUT:-3600}
test_timeout=${TEST_TIMEOUT:-5400}
# What a developer's minimal Debian 12 holds; nothing the kit needs besides.
ROOT_PACKAGES=(build-essential g++ gcc clang cmake ninja-build git pkg-config python3
               googletest libgtest-dev libgmock-dev libbenchmark-dev ca-certificates)
# A minimal environment inside, as a root login shell would have it.
CHROOT_ENV=(HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM=dumb LANG=C.UTF-8
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
            DEBIAN_FRONTEND=noninteractive)

say() { printf '=== fresh-debian: %s\n' "$*"; }
die() {
  printf 'fresh-debian: %s\n' "$*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, mounts, chroot)"

# shellcheck source=scripts/apt-install.sh
. scripts/apt-install.sh

root=$cache/root
stamp=$cache/root.packages
checkout=/root/libvessik

# The root is remade when the package list changes.
cached_root_is_current() {
  [ -d "$root" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${ROOT_PACKAGES[*]}" ]
}

make_root() {
  cached_root_is_current && return 0
  apt_install_missing debootstrap
  local tmp=$cache/root.new
  mkdir -p "$cache"
  rm -rf "$tmp" "$root" "$stamp"
  say "making the minimal root in $root"
  debootstrap --variant=minbase bookworm "$tmp" "$mirror"
  # A freshly installed Debian has its updates and security suites.
  cat >"$tmp/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security_mirror bookworm-security main
EOF
  # The host's certificate authorities are needed to reach its mirror at all.
  copy_host_cas "$tmp"
  in_root "$tmp" apt-get update
  in_root "$tmp" apt-get install -y --no-install-recommends "${ROOT_PACKAGES[@]}"
  in_root "$tmp" apt-get clean
  printf '%s\n' "${ROOT_PACKAGES[*]}" >"$tmp.packages"
  mv "$tmp" "$root"
  mv "$tmp.packages" "$stamp"
}

copy_host_cas() {
  local target=$1 f
  mkdir -p "$target/usr/local/share/ca-certificates"
  for f in /usr/local/share/ca-certificates/*.crt; do
    [ -f "$f" ] && cp "$f" "$target/usr/local/share/ca-certificates/"
  done
  if [ -x "$target/usr/sbin/update-ca-certificates" ]; then
    in_root "$target" update-ca-certificates >/dev/null
  fi
}

# in_root DIR COMMAND...: runs a command in the chroot DIR with the system
# folders mounted, and unmounts them afterwards.
in_root() {
  local dir=$1
  shift
  mount_system "$dir"
  local rc=0
  chroot "$dir" /usr/bin/env -i "${CHROOT_ENV[@]}" "$@" || rc=$?
  unmount_system "$dir"
  return $rc
}

mount_system() {
  local dir=$1
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
  mount -t proc proc "$dir/proc"
  mount --rbind /sys "$dir/sys" && mount --make-rslave "$dir/sys"
  mount --rbind /dev "$dir/dev" && mount --make-rslave "$dir/dev"
}

unmount_system() {
  local dir=$1 m
  for m in dev sys proc; do
    if mountpoint -q "$dir/$m"; then
      umount -R "$dir/$m" 2>/dev/null || umount -R -l "$dir/$m"
    fi
  done
}

# Nothing may be left mounted below a folder before it is removed: a bound
# /dev would be emptied with it.
still_mounted_below() {
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' \
    /proc/self/mountinfo
}

# Processes whose root is the run's tree: what the two commands left behind.
kill_root_processes() {
  local dir=$1 p link
  for p in /proc/[0-9]*; do
    link=$(readlink "$p/root" 2>/dev/null) || continue
    [ "$link" = "$dir" ] && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  return 0
}

run_dir=
merged=
logs=
cleanup() {
  [ -n "$run_dir" ] || return 0
  if [ -n "$merged" ]; then
    kill_root_processes "$merged"
    unmount_system "$merged"
    if mountpoint -q "$merged"; then
      umount "$merged" 2>/dev/null || umount -l "$merged"
    fi
  fi
  if [ -n "$logs" ]; then
    cp "$run_dir"/*.log "$logs/" 2>/dev/null || true
  fi
  if still_mounted_below "$run_dir"; then
    echo "fresh-debian: $run_dir still has mounts; left in place" >&2
  elif [ "${KEEP_RUN:-0}" = 1 ]; then
    say "run kept in $run_dir"
  else
    rm -rf "$run_dir"
  fi
}

start_run() {
  mkdir -p "$cache/runs"
  run_dir=$(mktemp -d "$cache/runs/run.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  merged=$run_dir/root
  logs=$cache/logs/$(date -u +%Y%m%dT%H%M%SZ)
  mkdir -p "$cache/logs" && chmod 0700 "$cache/logs" && mkdir "$logs"
  mkdir -p "$run_dir/upper" "$run_dir/work" "$merged"
  if mount -t overlay overlay \
      -o "lowerdir=$root,upperdir=$run_dir/upper,workdir=$run_dir/work" "$merged" 2>/dev/null; then
    say "fresh overlay on the cached root: $merged"
  else
    say "overlayfs cannot be mounted here: copying the cached root to $merged"
    cp -a "$root/." "$merged/"
  fi
  copy_host_cas "$merged"
  local head
  head=$(git -C "$source_dir" rev-parse HEAD)
  if [ -n "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ]; then
    say "note: uncommitted changes in $source_dir are not part of this run"
  fi
  # root's home as Debian makes it: no one else may enter.
  chmod 0700 "$merged/root"
  git clone -q "$source_dir" "$merged$checkout"
  git -C "$merged$checkout" checkout -q --detach "$head"
  say "checkout $(git -C "$source_dir" log -1 --format='%h %s' "$head")"
  mount_system "$merged"
}

# The demo runs until Ctrl-C: it is watched until the first card shows, then
# interrupted. Only the lines before the first card reach the log (the card
# is a made-up one, but card text stays out of logs all the same).
run_demo() {
  local out=$run_dir/demo.out log=$run_dir/demo.log
  local start=$SECONDS built="" card="" pid
  setsid chroot "$merged" /usr/bin/env -i "${CHROOT_ENV[@]}" \
    bash -c "cd $checkout && exec ./run.sh demo" >"$out" 2>&1 </dev/null &
  pid=$!
  while kill -0 "$pid" 2>/dev/null && [ $((SECONDS - start)) -lt "$demo_timeout" ]; do
    if [ -z "$built" ] && grep -q '^\.\.\.' "$out"; then
      built=$((SECONDS - start))
    fi
    if grep -q '^Usage:' "$out"; then
      card=$((SECONDS - start))
      break
    fi
    sleep 1
  done
  kill -INT -- "-$pid" 2>/dev/null || true
  sleep 2
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  sed -n '/^Usage:/q;p' "$out" >"$log"
  rm -f "$out"
  DEMO_BUILT=${built:-none}
  DEMO_CARD=${card:-none}
  if [ -z "$card" ]; then
    echo "--- the demo showed no card; its output ends:"
    tail -n 40 "$log"
    return 1
  fi
}

run_tests() {
  local log=$run_dir/test.log start=$SECONDS rc=0
  timeout "$test_timeout" chroot "$merged" /usr/bin/env -i "${CHROOT_ENV[@]}" \
    bash -c "cd $checkout && ./run.sh test" >"$log" 2>&1 </dev/null || rc=$?
  TEST_SECONDS=$((SECONDS - start))
  TEST_SUMMARY=$(grep -E 'tests passed|tests failed' "$log" | tail -n 1 || true)
  TEST_SKIPPED=$(grep -cE '\*\*\*Skipped|\*\*\*Not Run' "$log" || true)
  if [ "$rc" -ne 0 ] || [ "$TEST_SKIPPED" -ne 0 ]; then
    echo "--- ./run.sh test: exit status $rc; failed or skipped tests:"
    sed -n '/The following tests/,$p' "$log" | head -n 40
    [ -n "$(sed -n '/The following tests/p' "$log")" ] || tail -n 40 "$log"
    return 1
  fi
}

# The versions the browser test met inside, for the record.
report_versions() {
  local pc=$checkout/build/tests/tools/vessikd/browser/node_modules/playwright-core/package.json
  chroot "$merged" /usr/bin/env -i "${CHROOT_ENV[@]}" bash -c "
    printf 'node: %s\n' \"\$(node --version 2>/dev/null || echo none)\"
    printf 'chromium: %s\n' \"\$(chromium --version 2>/dev/null | tail -n 1 || echo none)\"
    printf 'playwright-core: %s\n' \"\$(sed -n 's/^ *\"version\": *\"\\(.*\\)\".*/\\1/p' $pc 2>/dev/null | head -n 1)\"
  " | sed 's/^/    /'
}

make_root
if [ "${1:-}" = --prepare ]; then
  say "cached root ready: $root"
  exit 0
fi
start_run
total=$SECONDS
demo_ok=yes
run_demo || demo_ok=no
say "./run.sh demo: build done after ${DEMO_BUILT} s, first card after ${DEMO_CARD} s"
if [ $demo_ok = yes ]; then
  say "demo log: $(wc -l <"$run_dir/demo.log") lines before the first card"
fi
tests_ok=yes
run_tests || tests_ok=no
say "./run.sh test: ${TEST_SECONDS} s, ${TEST_SUMMARY:-no ctest summary}, ${TEST_SKIPPED} skipped"
say "versions inside:"
report_versions
say "total $((SECONDS - total)) s; demo card: $demo_ok; tests: $tests_ok; logs in $logs"
[ $demo_ok = yes ] && [ $tests_ok = yes ]
