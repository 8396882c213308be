// SPDX-License-Identifier: LGPL-2.1-or-later
// A keyed 64-bit hash (SipHash-2-4) for telling one card text from another
// without keeping the text: the key is random for each process, so a hash
// seen elsewhere (a core file, say) cannot be tested against guessed texts.
// Internal.
#ifndef VESSIK_KEYED_HASH_H
#define VESSIK_KEYED_HASH_H

#include <cstddef>
#include <cstdint>

namespace vessik {

struct HashKey {
    uint64_t k0;
    uint64_t k1;
};

// SipHash-2-4 of `bytes` under `key`.
uint64_t SipHash24(const HashKey &key, const unsigned char *bytes, size_t size);

// SipHash-2-4 under this process's key, drawn from the kernel's random
// source the first time it is asked for.
uint64_t KeyedHash(const unsigned char *bytes, size_t size);

} // namespace vessik

#endif
