// SPDX-License-Identifier: LGPL-2.1-or-later
// Wipes of the library's own buffers that held card answers or decoded card
// data. A memset of a buffer that is never read again is a dead store the
// compiler may drop; explicit_bzero it keeps. Internal: not installed.
#ifndef VESSIK_WIPE_H
#define VESSIK_WIPE_H

#include <cstddef>
#include <string.h>

namespace vessik {

// An empty buffer (null, nothing held) has nothing to wipe, and
// explicit_bzero takes no null.
inline void WipeSecret(void *bytes, size_t count)
{
    if (bytes != nullptr && count != 0)
        explicit_bzero(bytes, count);
}

// Wipes a buffer however the scope that holds it is left.
class ScopedWipe {
  public:
    ScopedWipe(void *bytes, size_t count) : bytes_(bytes), count_(count) {}
    ~ScopedWipe() { WipeSecret(bytes_, count_); }
    ScopedWipe(const ScopedWipe &) = delete;
    ScopedWipe &operator=(const ScopedWipe &) = delete;

  private:
    void *bytes_;
    size_t count_;
};

} // namespace vessik

#endif
