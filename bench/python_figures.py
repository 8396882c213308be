# SPDX-License-Identifier: LGPL-2.1-or-later
"""Figures of the Python package, run under vessik-virtual-reader with a card
on the reader (./run.sh bench does):

  python3 bench/python_figures.py READER_FIGURES [ROUNDS]

- what a read through vessik costs beyond the C read it wraps: for each of
  ROUNDS reads of the card on usb:1-1, the read's wall time in Python less
  the time spent inside vessik_reader_read (timed around the C call), median;
- the same reads through Python against READER_FIGURES (bench/ReaderFigures.cpp)
  `reads ROUNDS` in C: both medians and their difference;
- the import time of vessik (python3 -X importtime, cumulative), and the
  first call, which loads the library.
Prints one "figures python ..." line.
"""
import os
import re
import statistics
import subprocess
import sys
import time

import vessik
from vessik import _library

MS_PER_S = 1000.0


def python_reads(rounds):
    """Wall times of whole reads, and of the C call inside each."""
    lib = _library.library()
    c_read = lib.vessik_reader_read
    inside = []

    def timed(*args):
        t0 = time.perf_counter()
        try:
            return c_read(*args)
        finally:
            inside.append(time.perf_counter() - t0)

    lib.vessik_reader_read = timed
    whole = []
    with vessik.open("usb:1-1") as reader:
        reader.read(timeout=10, report_same_card=True)  # the first read, untimed
        inside.clear()
        for _ in range(rounds):
            t0 = time.perf_counter()
            reader.read(timeout=10, report_same_card=True)
            whole.append(time.perf_counter() - t0)
    lib.vessik_reader_read = c_read
    return whole, inside


def c_reads(program, rounds):
    out = subprocess.run([program, "reads", str(rounds)], capture_output=True, text=True,
                         check=True).stdout
    return float(re.search(r"median_ms=([0-9.]+)", out).group(1))


def import_ms():
    """Cumulative import time of vessik in a fresh interpreter, and the first call."""
    probe = ("import time; t0 = time.perf_counter(); import vessik; t1 = time.perf_counter(); "
             "vessik.api_version(); print((t1 - t0) * 1000, (time.perf_counter() - t1) * 1000)")
    run = subprocess.run([sys.executable, "-X", "importtime", "-c", probe],
                         capture_output=True, text=True, check=True)
    cumulative_us = [int(line.split("|")[1]) for line in run.stderr.splitlines()
                     if line.rstrip().endswith("| vessik")]
    wall_ms, first_call_ms = (float(x) for x in run.stdout.split())
    return cumulative_us[0] / MS_PER_S, wall_ms, first_call_ms


def main():
    program, rounds = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 20
    c_median = c_reads(program, rounds)
    whole, inside = python_reads(rounds)
    python_median = statistics.median(whole) * MS_PER_S
    overhead = statistics.median(w - i for w, i in zip(whole, inside)) * MS_PER_S
    importtime_ms, import_wall_ms, first_call_ms = import_ms()
    print(f"figures python rounds={rounds} overhead_median_ms={overhead:.3f} "
          f"python_median_ms={python_median:.3f} c_median_ms={c_median:.3f} "
          f"python_minus_c_ms={python_median - c_median:.3f} import_ms={importtime_ms:.1f} "
          f"import_wall_ms={import_wall_ms:.1f} first_call_ms={first_call_ms:.1f} "
          f"python={os.path.realpath(sys.executable)}")


if __name__ == "__main__":
    main()
