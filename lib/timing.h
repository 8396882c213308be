// SPDX-License-Identifier: LGPL-2.1-or-later
// The library's one clock and the waits and timeouts of the card poll, each
// under one name. Internal: not installed.
#ifndef VESSIK_TIMING_H
#define VESSIK_TIMING_H

#include <cstdint>

namespace vessik {

// Microseconds of the monotonic clock, which does not jump when the system
// time is set.
uint64_t MonotonicUs();

namespace timing {

// Fixed waits of the poll, around each command and after the read command:
// the module needs about 0.9 s to read a card.
constexpr unsigned kWaitAroundCommandUs = 100;
constexpr unsigned kWaitBeforeReadCardUs = 600;
constexpr unsigned kWaitAfterReadCardUs = 900000;
// After a reader that could not be opened, so a caller that loops does not
// hammer a missing reader.
constexpr unsigned kWaitAfterFailedOpenS = 1;

// How long ReadIDCardLib waits for each stage of an answer.
constexpr int kDocumentedAnswerTimeoutMs = 100;
// A vessik_read cuts its waits into slices this long and looks for a cancel
// or the deadline between them.
constexpr unsigned kExtendedWaitSliceUs = 50000;
// While no read runs nobody watches the reader. After a pause longer than
// this, the card found first is taken as a new presentation.
constexpr uint64_t kUnwatchedGapUs = 1000000;

} // namespace timing
} // namespace vessik

#endif
