// SPDX-License-Identifier: LGPL-2.1-or-later
// The library's one clock.
#include "timing.h"

#include <ctime>

namespace {
constexpr uint64_t kMicrosPerSecond = 1000000;
constexpr uint64_t kNanosPerMicro = 1000;
} // namespace

uint64_t vessik::MonotonicUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kMicrosPerSecond +
           static_cast<uint64_t>(now.tv_nsec) / kNanosPerMicro;
}
