// SPDX-License-Identifier: LGPL-2.1-or-later
// Clocks, a median and a read of the card left lying on the reader, for the
// figures programs under the launcher.
#ifndef VESSIK_BENCH_FIGURES_CLOCK_H
#define VESSIK_BENCH_FIGURES_CLOCK_H

#include <algorithm>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <vector>

#include "vessik_read.h"

namespace figures {

constexpr double kNsPerS = 1e9;
constexpr double kUsPerS = 1e6;

// Seconds on `clock` (CLOCK_MONOTONIC, CLOCK_THREAD_CPUTIME_ID, ...).
inline double Seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / kNsPerS;
}

inline double NowS()
{
    return Seconds(CLOCK_MONOTONIC);
}

// User and system CPU of the whole process, every thread included.
inline double ProcessCpuS()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / kUsPerS;
}

// The upper median; 0 for no values.
inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// One read of the card lying on `reader`, which stays there between rounds;
// the card is wiped after.
inline int ReadLyingCard(vessik_reader *reader, unsigned deadline_ms)
{
    vessik_card card;
    vessik_card_init(&card);
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = deadline_ms;
    options.report_same_card = 1;
    const int result = vessik_reader_read(reader, &options, &card);
    std::memset(&card, 0, sizeof card);
    return result;
}

} // namespace figures

#endif
