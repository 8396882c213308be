// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target: the serial link's frame assembler, fed a byte stream in
// pieces of any size, as a line with noise, damaged frames and pauses
// delivers it. Every frame it hands out is whole and good: the preamble, the
// length it announces, the right check byte; it never hands out more bytes
// than came in, nor writes past the caller's buffer.
#include <cstring>
#include <memory>
#include <vector>

#include "frame_assembler.h"
#include "fuzz_input.h"

namespace {

constexpr uint8_t kPreamble[] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr int kHeaderBytes = 7;
constexpr unsigned kMaxPiece = 3000;
constexpr uint8_t kGuard = 0xCD;

void CheckFrame(const uint8_t *frame, int len)
{
    FUZZ_CHECK(len >= kHeaderBytes + 4);
    FUZZ_CHECK(memcmp(frame, kPreamble, sizeof kPreamble) == 0);
    FUZZ_CHECK(kHeaderBytes + (frame[5] << 8 | frame[6]) == len);
    uint8_t check = 0;
    for (int i = 5; i < len - 1; ++i)
        check ^= frame[i];
    FUZZ_CHECK(check == frame[len - 1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    vessik::FrameAssembler frames;
    // A caller's buffer of any size, guarded on both sides.
    const int capacity = static_cast<int>(in.u16() % 5000);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[static_cast<size_t>(capacity) + 2]);
    size_t fed = 0;
    size_t taken = 0;
    while (!in.empty()) {
        std::vector<uint8_t> piece = in.bytes(in.u16() % kMaxPiece);
        const int room = frames.free_bytes();
        FUZZ_CHECK(room >= 0);
        const size_t n =
            piece.size() < static_cast<size_t>(room) ? piece.size() : static_cast<size_t>(room);
        if (n > 0)
            memcpy(frames.free_space(), piece.data(), n);
        frames.Appended(static_cast<int>(n));
        fed += n;
        for (int ready = frames.Ready(); ready > 0; ready = frames.Ready()) {
            memset(buf.get(), kGuard, static_cast<size_t>(capacity) + 2);
            const int placed = frames.Take(buf.get() + 1, capacity, ready);
            FUZZ_CHECK(buf[0] == kGuard && buf[static_cast<size_t>(capacity) + 1] == kGuard);
            FUZZ_CHECK(placed == (ready < capacity ? ready : capacity));
            if (placed == ready)
                CheckFrame(buf.get() + 1, ready);
            taken += static_cast<size_t>(ready);
        }
        FUZZ_CHECK(taken + static_cast<size_t>(frames.pending()) <= fed);
    }
    return 0;
}
