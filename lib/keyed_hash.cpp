// SPDX-License-Identifier: LGPL-2.1-or-later
// A keyed hash of card text (see keyed_hash.h).
#include "keyed_hash.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

namespace vessik {
namespace {

constexpr int kWordBytes = 8;
constexpr int kCompressionRounds = 2;
constexpr int kFinalizationRounds = 4;
constexpr int kLengthShift = 56;
constexpr uint64_t kFinalizationMark = 0xff;
// "somepseudorandomlygeneratedbytes", the algorithm's initial state.
constexpr uint64_t kInit0 = 0x736f6d6570736575ULL;
constexpr uint64_t kInit1 = 0x646f72616e646f6dULL;
constexpr uint64_t kInit2 = 0x6c7967656e657261ULL;
constexpr uint64_t kInit3 = 0x7465646279746573ULL;

uint64_t RotateLeft(uint64_t x, int bits)
{
    return (x << bits) | (x >> (64 - bits));
}

struct SipState {
    uint64_t v0, v1, v2, v3;

    void Round()
    {
        v0 += v1;
        v1 = RotateLeft(v1, 13);
        v1 ^= v0;
        v0 = RotateLeft(v0, 32);
        v2 += v3;
        v3 = RotateLeft(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = RotateLeft(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = RotateLeft(v1, 17);
        v1 ^= v2;
        v2 = RotateLeft(v2, 32);
    }

    void Absorb(uint64_t word)
    {
        v3 ^= word;
        for (int i = 0; i < kCompressionRounds; ++i)
            Round();
        v0 ^= word;
    }
};

uint64_t LittleEndianWord(const unsigned char *bytes, size_t count)
{
    uint64_t word = 0;
    for (size_t i = 0; i < count; ++i)
        word |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return word;
}

// The kernel's random source; should it fail (a kernel without getrandom
// and no /dev/urandom), the clock and the process id still make the key
// differ from process to process.
HashKey DrawKey()
{
    HashKey key{};
    ssize_t got = 0;
    do {
        got = getrandom(&key, sizeof key, 0);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof key))
        return key;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    key.k0 = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 32);
    key.k1 = static_cast<uint64_t>(getpid()) ^ reinterpret_cast<uintptr_t>(&key);
    return key;
}

} // namespace

uint64_t SipHash24(const HashKey &key, const unsigned char *bytes, size_t size)
{
    SipState s{key.k0 ^ kInit0, key.k1 ^ kInit1, key.k0 ^ kInit2, key.k1 ^ kInit3};
    const size_t whole = size - size % kWordBytes;
    for (size_t at = 0; at < whole; at += kWordBytes)
        s.Absorb(LittleEndianWord(bytes + at, kWordBytes));
    s.Absorb(LittleEndianWord(bytes + whole, size - whole) |
             (static_cast<uint64_t>(size) << kLengthShift));
    s.v2 ^= kFinalizationMark;
    for (int i = 0; i < kFinalizationRounds; ++i)
        s.Round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

uint64_t KeyedHash(const unsigned char *bytes, size_t size)
{
    static const HashKey key = DrawKey(); // drawn once, on first use
    return SipHash24(key, bytes, size);
}

} // namespace vessik
