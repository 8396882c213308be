// SPDX-License-Identifier: LGPL-2.1-or-later
// Every block vessikd's C++ code gives back is zeroed before it is freed:
// a card's text passes through the service's strings and JSON values and
// through httplib's request and answer buffers, and none of it may linger in
// freed memory for the next allocation, a core or a debugger to find.
// operator new stays the library's (malloc), so free() fits what it gave.
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

namespace {

void wipe_and_free(void *block) noexcept
{
    if (block == nullptr)
        return;
    explicit_bzero(block, malloc_usable_size(block));
    std::free(block);
}

} // namespace

void operator delete(void *block) noexcept
{
    wipe_and_free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    wipe_and_free(block);
}

void operator delete(void *block, std::align_val_t) noexcept
{
    wipe_and_free(block);
}

void operator delete(void *block, std::size_t, std::align_val_t) noexcept
{
    wipe_and_free(block);
}
