// SPDX-License-Identifier: LGPL-2.1-or-later
// Card buffers kept out of swap: a card swapped out would lie on the disk
// long after the service let it go. Only the buffers that hold whole cards
// are locked, each where it lives for good (a worker's, a thread's stack),
// rather than the whole process (mlockall would pin every thread's stack
// and fail allocations once past the limit). The strings a card passes
// through are wiped when freed (wipe_on_free.cpp).
#ifndef VESSIKD_CARD_MEMORY_H
#define VESSIKD_CARD_MEMORY_H

#include <cstddef>

namespace vessikd {

// Locks the pages of `buffer` into memory. A failure (a memory-lock limit
// too low) is told on stderr once, and the service carries on.
void keep_out_of_swap(const void *buffer, size_t bytes);

} // namespace vessikd

#endif
