// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole answer frames out of a byte stream.
#include "frame_assembler.h"

#include <algorithm>
#include <cstring>

#include "diag.h"
#include "frame.h"

namespace vessik {
namespace {

using frame::CheckByte;
using frame::kHeaderBytes;
using frame::kPreamble;

// The shortest answer: three status bytes and the check byte.
constexpr int kShortestLength = 4;

} // namespace

void FrameAssembler::Consume(int n)
{
    const int kept = std::max(count_ - n, 0);
    if (kept > 0)
        memmove(pending_, pending_ + n, static_cast<size_t>(kept));
    // The bytes behind what is kept held answers, perhaps a card's.
    WipeSecret(pending_ + kept, static_cast<size_t>(count_ - kept));
    count_ = kept;
}

int FrameAssembler::Ready()
{
    for (;;) {
        // Skip to the first preamble; keep a tail that may begin one.
        const unsigned char *start =
            std::search(pending_, pending_ + count_, kPreamble, kPreamble + sizeof kPreamble);
        const int at = static_cast<int>(start - pending_);
        if (at == count_) {
            const int tail = std::min(count_, static_cast<int>(sizeof kPreamble) - 1);
            if (count_ > tail)
                diag::LogFormat(diag::kLogDebug, "skipped %d bytes of line noise", count_ - tail);
            Consume(count_ - tail);
            return 0;
        }
        if (at > 0) {
            diag::LogFormat(diag::kLogDebug, "skipped %d bytes before a frame", at);
            Consume(at);
        }
        if (count_ < kHeaderBytes)
            return 0;
        const int length = pending_[frame::kPosLengthHigh] << 8 | pending_[frame::kPosLengthLow];
        const int total = kHeaderBytes + length;
        if (length < kShortestLength || total > static_cast<int>(sizeof pending_)) {
            Consume(1); // no answer of ours is this long: resynchronise
            continue;
        }
        if (count_ < total)
            return 0;
        if (CheckByte(pending_, total) != pending_[total - 1]) {
            diag::Log(diag::kLogWarning, "dropped an answer with a wrong check byte");
            Consume(1);
            continue;
        }
        return total;
    }
}

int FrameAssembler::Take(unsigned char *buf, int capacity, int frame_bytes)
{
    const int placed = std::min(frame_bytes, capacity);
    memcpy(buf, pending_, static_cast<size_t>(placed));
    Consume(frame_bytes);
    return placed;
}

} // namespace vessik
