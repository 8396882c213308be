// SPDX-License-Identifier: LGPL-2.1-or-later
// Card buffers kept out of swap (see card_memory.h).
#include "card_memory.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>

namespace vessikd {

namespace {

std::atomic<bool> g_failure_told{false};

} // namespace

void keep_out_of_swap(const void *buffer, size_t bytes)
{
    if (mlock(buffer, bytes) == 0 || g_failure_told.exchange(true))
        return;
    std::fprintf(stderr,
                 "vessikd: cannot keep card buffers out of swap (mlock: %s); raise "
                 "LimitMEMLOCK\n",
                 std::strerror(errno));
}

} // namespace vessikd
