// SPDX-License-Identifier: LGPL-2.1-or-later
// Checks on an idInfo record that the fuzz targets share: guard bytes around
// it, the ranges the library never writes, and text fields that end inside
// their own width.
#ifndef VESSIK_FUZZ_RECORD_CHECKS_H
#define VESSIK_FUZZ_RECORD_CHECKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "vessik.h"

namespace fuzzrec {

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;

// A record with guard bytes on both sides, so that a write that runs off
// either end is seen even where the sanitizer cannot see it.
struct GuardedRecord {
    uint8_t front[kGuardBytes];
    idInfo info;
    uint8_t back[kGuardBytes];

    GuardedRecord() { Clear(); }
    void Clear()
    {
        memset(front, kGuard, sizeof(front));
        memset(&info, 0, sizeof(info));
        memset(back, kGuard, sizeof(back));
    }
};

inline bool AllBytes(const void *p, size_t n, uint8_t value)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i)
        if (bytes[i] != value)
            return false;
    return true;
}

inline bool Terminated(const char *field, size_t width)
{
    return memchr(field, 0, width) != nullptr;
}

inline void CheckGuards(const GuardedRecord &r)
{
    FUZZ_CHECK(AllBytes(r.front, sizeof(r.front), kGuard));
    FUZZ_CHECK(AllBytes(r.back, sizeof(r.back), kGuard));
}

// Every text field of a record that arrived zero-filled reads as a string
// that ends inside the field.
inline void CheckTextFieldsTerminated(const idInfo &info)
{
    FUZZ_CHECK(Terminated(info.name, sizeof(info.name)));
    FUZZ_CHECK(Terminated(info.sex, sizeof(info.sex)));
    FUZZ_CHECK(Terminated(info.nation, sizeof(info.nation)));
    FUZZ_CHECK(Terminated(info.birth, sizeof(info.birth)));
    FUZZ_CHECK(Terminated(info.address, sizeof(info.address)));
    FUZZ_CHECK(Terminated(info.cardno, sizeof(info.cardno)));
    FUZZ_CHECK(Terminated(info.authority, sizeof(info.authority)));
    FUZZ_CHECK(Terminated(info.starttime, sizeof(info.starttime)));
    FUZZ_CHECK(Terminated(info.endtime, sizeof(info.endtime)));
}

// The ranges the library never writes are still zero.
inline void CheckUnwrittenRanges(const idInfo &info)
{
    FUZZ_CHECK(AllBytes(info.reserved1, sizeof(info.reserved1), 0));
    FUZZ_CHECK(AllBytes(info.reserved2, sizeof(info.reserved2), 0));
    FUZZ_CHECK(AllBytes(info.ic_data, sizeof(info.ic_data), 0));
    FUZZ_CHECK(info.ic_len == 0);
    FUZZ_CHECK(AllBytes(info.reserved3, sizeof(info.reserved3), 0));
}

} // namespace fuzzrec

#endif
