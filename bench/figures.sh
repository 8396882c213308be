#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Figures of the kit on the virtual reader (run it on a quiet machine; other
# load shows up directly in the times):
#  1. read overhead: one ReadIDCardLib of a card already on the reader minus
#     its mandated waits, against one read's raw libusb work in the same run;
#  2. idle polling: the polling program's CPU while no card is there, per
#     wall second and per poll cycle, against raw libusb for the same frames;
#  3. the demo's peak resident memory.
# Usage: bench/figures.sh [BUILD_DIR] [IDLE_SECONDS]
set -euo pipefail

build=${1:-build}
idle_s=${2:-10}
launcher=$build/tools/virtual-reader/vessik-virtual-reader
figures=$build/bench/vessik_raw_figures
demo=$build/demo/vessik_demo

stat() { # stat NAME < stats lines
  grep -o " $1=[0-9.]*" | head -1 | cut -d= -f2
}

echo "== read overhead (library read minus 0.9012 s of mandated waits) against the raw floor"
"$launcher" -- "$figures" read 15 2>/dev/null | grep '^figures'

echo "== idle polling, no card, ${idle_s} s (the demo)"
# --stop-after ends the demo with status 124, which is expected here.
stats=$({ "$launcher" --no-card --stop-after "$idle_s" --stats -- "$demo" 2>&1 >/dev/null || true; } |
  grep 'stats:')
wall=$(stat wall_s <<<"$stats")
user=$(stat program_user_s <<<"$stats")
sys=$(stat program_sys_s <<<"$stats")
launcher_cpu=$(stat launcher_cpu_s <<<"$stats")
cycles=$(stat find <<<"$stats")
awk -v w="$wall" -v u="$user" -v s="$sys" -v l="$launcher_cpu" -v c="$cycles" 'BEGIN {
  printf "program cpu_s=%.3f (user %.3f, sys %.3f) per wall second=%.3f\n", u + s, u, s, (u + s) / w
  printf "poll cycles=%d cycle_ms=%.3f program_cpu_ms_per_cycle=%.3f launcher_cpu_ms_per_cycle=%.3f\n",
         c, w * 1000 / c, (u + s) * 1000 / c, l * 1000 / c
}'
echo "-- the same two exchanges straight through libusb"
"$launcher" --no-card -- "$figures" raw-cycles 2000 2>/dev/null | grep '^figures'

echo "== demo peak RSS (one card read)"
{ "$launcher" --stop-after 3 --stats -- "$demo" 2>&1 >/dev/null || true; } |
  grep -o 'program_peak_rss_kb=[0-9]*'
