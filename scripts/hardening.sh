#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The second CI pass, after ./run.sh test:
#   1. every test again, built with AddressSanitizer + UndefinedBehaviorSanitizer
#      (LeakSanitizer on); any sanitizer report from any process fails the run;
#   2. the libFuzzer targets built with clang, their corpora and regression
#      inputs replayed, then each target fuzzed for FUZZ_SECONDS (default 45)
#      on a scratch copy of its corpus;
#   3. clang-tidy with the checked-in .clang-tidy, and cppcheck, over the library's sources,
#      and pyflakes and mypy over the Python package; any finding fails the run;
#   4. the in-process suites that run reads on several threads, built with
#      ThreadSanitizer; any report fails the run;
#   5. cross builds for arm64, big-endian s390x and mips64el, their
#      in-process suites and corpus replays under qemu-user, and the arm64
#      and mips64el packages checked (scripts/cross.sh).
# Usage: scripts/hardening.sh [asan|fuzz|tidy|tsan|cross]...   (no argument: all five)
# ASAN_BUILD_DIR (build-asan), FUZZ_BUILD_DIR (build-fuzz), FUZZ_SECONDS and
# JOBS (nproc, at most 2 fuzzers at once) change where and how.
set -euo pipefail
cd "$(dirname "$0")/.."

ASAN_BUILD_DIR=${ASAN_BUILD_DIR:-build-asan}
TSAN_BUILD_DIR=${TSAN_BUILD_DIR:-build-tsan}
FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-45}
JOBS=${JOBS:-$(nproc)}
FUZZ_TARGETS=(card_text read mcu helpers serial)
MAX_PARALLEL_FUZZERS=2
PACKAGES=(clang libclang-rt-14-dev clang-tidy cppcheck python3-pyflakes mypy)

# shellcheck source=scripts/apt-install.sh
. scripts/apt-install.sh

stage() {
  echo
  echo "=== hardening: $* ($(date -u +%H:%M:%S))"
}

# Every test under the sanitizers. A report aborts its process (UBSan halts
# too), which fails the test that ran it; and any report in any test's output
# fails the run, even one a test did not look at. (log_path cannot be used:
# the sanitizer runtime creates the log folder before umockdev's preload,
# whose mkdir it would call, is ready.)
#
# Left to the ordinary pass: tests of resident memory growth (the sanitizer's
# quarantine holds freed memory; LeakSanitizer and the soaks' live-heap
# checks stand in for them here) and the release build's link contract
# (a sanitized library also needs libasan and libubsan); and vessikd's lock of
# card buffers out of swap, since ASan makes mlock a no-op; and the bound on
# how fast vessikd answers its status, which the sanitizers slow; and the
# doctor finding a decoder through LD_LIBRARY_PATH, since under ASan the tools
# find theirs through an RPATH, which comes first.
SANITIZER_SKIPPED='^(surface\.linking_contract|service\.CardMemory\.ACardBufferIsLockedIntoMemory|Device\.LongPollingDoesNotGrowTheLauncher|service\.ServiceAccess\.OversizedHeadsAndChunkedBodiesAreRefused|service\.ServiceSoak\.AThousandRequestsLeaveMemoryAndDescriptorsFlat|service\.ServiceReaders\.StatusIsAnsweredFromMemory|DoctorDecoder\.DecoderFoundInItsPlaceIsNotTheStandIn)$'

run_sanitized_tests() {
  stage "sanitizer build"
  cmake -S . -B "$ASAN_BUILD_DIR" -G Ninja -DVESSIK_SANITIZE=ON -DVESSIK_BUILD_BENCH=OFF \
    -DVESSIK_BUILD_FUZZ=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  cmake --build "$ASAN_BUILD_DIR" -j "$JOBS"

  stage "tests under ASan + UBSan + LSan"
  local status=0
  (
    cd "$ASAN_BUILD_DIR"
    # Some tests preload a photo decoder into a sanitized program, as the
    # launcher preloads umockdev: the runtime's link order check would refuse.
    export ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ctest --output-on-failure --no-tests=error -j "$JOBS" -E "$SANITIZER_SKIPPED"
  ) || status=$?
  local log="$ASAN_BUILD_DIR/Testing/Temporary/LastTest.log"
  if grep -nE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error: " "$log"; then
    echo "hardening: sanitizer reports in $log (above)" >&2
    status=1
  else
    echo "hardening: no sanitizer report"
  fi
  return "$status"
}

# The libFuzzer build holds only the library, the test bus and the targets.
run_fuzzers() {
  stage "libFuzzer build (clang)"
  CC=clang CXX=clang++ cmake -S . -B "$FUZZ_BUILD_DIR" -G Ninja -DVESSIK_BUILD_FUZZ=ON \
    -DVESSIK_BUILD_TESTS=OFF -DVESSIK_BUILD_TOOLS=OFF -DVESSIK_BUILD_BENCH=OFF
  local t targets=()
  for t in "${FUZZ_TARGETS[@]}"; do targets+=("fuzz_$t"); done
  cmake --build "$FUZZ_BUILD_DIR" -j "$JOBS" --target "${targets[@]}"

  stage "corpus and regression replay"
  (cd "$FUZZ_BUILD_DIR/fuzz" && ctest --output-on-failure --no-tests=error -L fuzz)

  stage "fuzzing, ${FUZZ_SECONDS} s per target"
  local work="$FUZZ_BUILD_DIR/fuzz-run"
  rm -rf "$work"
  mkdir -p "$work"
  local parallel=$((JOBS < MAX_PARALLEL_FUZZERS ? JOBS : MAX_PARALLEL_FUZZERS))
  [ "$parallel" -ge 1 ] || parallel=1
  local pids=() names=() failed=0 i
  for t in "${FUZZ_TARGETS[@]}"; do
    mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    local inputs=("fuzz/corpus/$t")
    [ -d "fuzz/regressions/$t" ] && inputs+=("fuzz/regressions/$t")
    # New inputs go to the scratch folder (the first); the checked-in ones are read only.
    # No memory watch thread: the test bus would turn its one-second sleeps
    # into a spin (see fuzz/CMakeLists.txt); each allocation stays limited.
    "$FUZZ_BUILD_DIR/fuzz/fuzz_$t" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
      -close_fd_mask=1 -rss_limit_mb=0 -malloc_limit_mb=2048 \
      -artifact_prefix="$work/$t/artifacts/" \
      "$work/$t/corpus" "${inputs[@]}" >"$work/$t/log" 2>&1 &
    pids+=($!)
    names+=("$t")
    if [ ${#pids[@]} -ge "$parallel" ]; then
      wait "${pids[0]}" || { failed=1; report_fuzz_failure "${names[0]}" "$work"; }
      pids=("${pids[@]:1}")
      names=("${names[@]:1}")
    fi
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || { failed=1; report_fuzz_failure "${names[$i]}" "$work"; }
  done
  for t in "${FUZZ_TARGETS[@]}"; do
    printf '%-10s %s | %s\n' "$t" "$(grep -E '^#[0-9]+' "$work/$t/log" | tail -n 1)" \
      "$(grep -E 'stat::average_exec_per_sec' "$work/$t/log" | tr -s ' ')"
  done
  return "$failed"
}

report_fuzz_failure() {
  local t=$1 work=$2
  echo "hardening: fuzz_$t found a failing input (kept in $work/$t/artifacts):" >&2
  tail -n 60 "$work/$t/log" >&2
}

# clang-tidy over the library's own sources, with the sanitizer build's
# compile commands.
run_tidy() {
  stage "clang-tidy on lib/"
  if [ ! -f "$ASAN_BUILD_DIR/compile_commands.json" ]; then
    cmake -S . -B "$ASAN_BUILD_DIR" -G Ninja -DVESSIK_SANITIZE=ON -DVESSIK_BUILD_BENCH=OFF \
      -DVESSIK_BUILD_FUZZ=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  fi
  local sources=(lib/*.cpp lib/compat/*.cpp)
  # Less the count of warnings it hid in system headers, one line a file.
  printf '%s\n' "${sources[@]}" |
    xargs -P "$JOBS" -n 1 clang-tidy --quiet -p "$ASAN_BUILD_DIR" 2>&1 |
    { grep -v ' warnings\? generated\.$' || true; }
  echo "hardening: clang-tidy found nothing in ${#sources[@]} files"

  stage "cppcheck on lib/, the stand-in decoder and the demo"
  # The build tree's include/ holds vessik_usb_ids.h, made from lib/usb_ids.txt.
  cppcheck --enable=warning,portability,performance --std=c++17 --inline-suppr --quiet \
    --error-exitcode=1 -I lib -I include/vessik -I "$ASAN_BUILD_DIR/include" lib/*.cpp \
    lib/compat/*.cpp wltdec/*.c demo/*.c
  echo "hardening: cppcheck found nothing"

  stage "pyflakes and mypy on the Python package"
  /usr/bin/python3 -m pyflakes python tests/python bench/python_figures.py
  mypy --strict --cache-dir "$ASAN_BUILD_DIR/mypy-cache" python/vessik
  echo "hardening: pyflakes and mypy found nothing"
}

# Tests that measure real time against tight bounds: the sanitizer's slowdown,
# not the code, would fail them.
TSAN_SKIPPED='FindsOverOneRealSecondFollowTheInterval'

# The suites whose tests read from several threads at once (labelled
# "threads"), under ThreadSanitizer. Only what they need is built: the
# launcher and the service are left out.
run_thread_sanitizer() {
  stage "ThreadSanitizer build"
  cmake -S . -B "$TSAN_BUILD_DIR" -G Ninja -DVESSIK_SANITIZE_THREAD=ON -DVESSIK_BUILD_TOOLS=OFF \
    -DVESSIK_BUILD_BENCH=OFF -DVESSIK_BUILD_FUZZ=OFF
  local targets
  mapfile -t targets < <(sed -n 's/^ *vessik_threaded_suite(\([A-Za-z0-9_]*\).*/\1/p' \
    tests/CMakeLists.txt tests/*/CMakeLists.txt tests/*/*/CMakeLists.txt 2>/dev/null | sort -u)
  [ ${#targets[@]} -gt 0 ] || { echo "hardening: no threaded suite found" >&2; return 1; }
  cmake --build "$TSAN_BUILD_DIR" -j "$JOBS" --target "${targets[@]}"

  stage "threaded suites under ThreadSanitizer: ${targets[*]}"
  local status=0 suppressions
  suppressions="$(pwd)/scripts/tsan.supp"
  (
    cd "$TSAN_BUILD_DIR"
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$suppressions"
    ctest --output-on-failure --no-tests=error -j "$JOBS" -L threads -E "$TSAN_SKIPPED"
  ) || status=$?
  if grep -n "WARNING: ThreadSanitizer" "$TSAN_BUILD_DIR/Testing/Temporary/LastTest.log"; then
    echo "hardening: ThreadSanitizer reports in $TSAN_BUILD_DIR/Testing/Temporary/LastTest.log" >&2
    status=1
  else
    echo "hardening: no ThreadSanitizer report"
  fi
  return "$status"
}

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan fuzz tidy tsan cross)
apt_install_missing "${PACKAGES[@]}"
for s in "${steps[@]}"; do
  start=$SECONDS
  case "$s" in
    asan) run_sanitized_tests ;;
    fuzz) run_fuzzers ;;
    tidy) run_tidy ;;
    tsan) run_thread_sanitizer ;;
    cross) JOBS=$JOBS scripts/cross.sh ;;
    *)
      echo "usage: $0 [asan|fuzz|tidy|tsan|cross]..." >&2
      exit 2
      ;;
  esac
  echo "=== hardening: $s took $((SECONDS - start)) s"
done
