// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame trace: at the log handler's trace level, every frame a reader
// handle's link sends or receives is reported as one line, with the time
// from the command to the first and to the last byte of its answer. An
// answer's payload (all after its status) is masked with zeros unless the
// answer is exactly as long as the module-id answer to a module-id query:
// find, select and read answers, and answers of any other length, whatever
// was sent last (a module may answer a read late), show only their header
// and status. Card contents are never logged. When no handler asks for the
// trace level, a link pays one relaxed load per frame.
//
// The lines, one per frame ("stage" names what crossed: ep=02+06 on USB,
// ep=serial on a serial line):
//   frame out <link> ep=<stage> cmd=<hex> bytes=<hex>
//   frame in <link> ep=<stage> cmd=<hex> first_us=<n> last_us=<n> len=<n>
//         [masked=<from>-<to>] bytes=<hex>
//   frame in <link> ep=<stage> cmd=<hex> first_us=-1 last_us=-1 len=0 none
// An answer's cmd is the command sent last, not necessarily the one answered.
// Internal.
#ifndef VESSIK_FRAME_TRACE_H
#define VESSIK_FRAME_TRACE_H

#include <cstdint>

namespace vessik {

class FrameTrace {
  public:
    explicit FrameTrace(const char *link) : link_(link) {}

    static bool Wanted();
    // A command went out on `stage`; the answer's clock starts now.
    void Out(const char *stage, const unsigned char *frame, int len);
    // Marks the first piece of the answer (the header stage on USB).
    void FirstPiece();
    // The answer came whole (`count` bytes), or none did (count <= 0).
    void In(const char *stage, const unsigned char *answer, int count);

  private:
    const char *link_;
    unsigned char command_[2] = {};
    uint64_t sent_us_ = 0;
    uint64_t first_us_ = 0;
};

} // namespace vessik

#endif
