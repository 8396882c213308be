// SPDX-License-Identifier: LGPL-2.1-or-later
// Monotonic microseconds since a start: the launcher's time base (the
// model's `now_us` arguments and its frame log) and the times of the doctor's
// capture. Header only.
#ifndef VESSIK_TOOLS_COMMON_MONOTONIC_CLOCK_H
#define VESSIK_TOOLS_COMMON_MONOTONIC_CLOCK_H

#include <cstdint>
#include <ctime>

class MonotonicClock {
  public:
    MonotonicClock() : start_us_(raw_us()) {}
    // Microseconds since this clock was made.
    uint64_t now_us() const { return raw_us() - start_us_; }

    // CLOCK_MONOTONIC in microseconds, from the system's own origin.
    static uint64_t raw_us()
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * kUsPerS +
               static_cast<uint64_t>(ts.tv_nsec) / kNsPerUs;
    }
    static constexpr uint64_t kUsPerS = 1000000;
    static constexpr uint64_t kNsPerUs = 1000;

  private:
    uint64_t start_us_;
};

#endif
