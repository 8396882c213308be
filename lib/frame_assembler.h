// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole answer frames out of a byte stream that arrives in pieces, as a
// serial line delivers it: garbage before a preamble is skipped, a frame is
// taken only up to the length it announces, and one with a wrong check byte
// or a length no answer has is dropped and the stream resynchronised at the
// next preamble. No I/O: the line's owner appends what it read. Internal.
#ifndef VESSIK_FRAME_ASSEMBLER_H
#define VESSIK_FRAME_ASSEMBLER_H

#include "answer_layout.h"
#include "wipe.h"

namespace vessik {

class FrameAssembler {
  public:
    // Where the next bytes read from the line go, and how many fit.
    unsigned char *free_space() { return pending_ + count_; }
    int free_bytes() const { return static_cast<int>(sizeof pending_) - count_; }
    // `n` bytes were written into free_space().
    void Appended(int n) { count_ += n; }

    // The length of a whole good frame at the front, 0 while more bytes are
    // needed. Drops garbage and damaged frames on the way.
    int Ready();
    // Copies the frame Ready() found (at most `capacity` bytes) and drops it.
    int Take(unsigned char *buf, int capacity, int frame_bytes);
    void Clear()
    {
        WipeSecret(pending_, static_cast<size_t>(count_));
        count_ = 0;
    }
    int pending() const { return count_; }

  private:
    void Consume(int n);

    // At most the largest answer and a preamble's worth of what follows.
    unsigned char pending_[answer::kLargestAnswerBytes] = {};
    int count_ = 0;
};

} // namespace vessik

#endif
