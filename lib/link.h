// SPDX-License-Identifier: LGPL-2.1-or-later
// The link under a reader handle: one interface, written by the USB link
// and the serial link alike. A handle owns the one its location names
// (MakeLink), and the poll engine talks to it through these types.
// Internal.
#ifndef VESSIK_LINK_H
#define VESSIK_LINK_H

#include <memory>

#include "reader_location.h"
#include "timing.h"

struct vessik_reader_info;

namespace vessik {

// How a link waits for one answer.
struct AnswerWait {
    // Each stage of the answer waits at least this long (the documented
    // read's whole wait).
    int stage_ms = timing::kDocumentedAnswerTimeoutMs;
    // Links that wait in slices: the whole answer may take this long, and
    // the stop check runs between slices. 0: one wait of stage_ms per stage.
    int budget_ms = 0;
    int slice_ms = 0;
    // The answer is taken whole, up to the length its header announces,
    // however many pieces it comes in within the budget: a module that is
    // still sending when the wait begins (answer-driven reads).
    bool whole_frame = false;
    bool (*should_stop)(void *context) = nullptr;
    void *context = nullptr;
};

enum class SendResult { Sent, Failed, Lost };
// What Receive returns besides a byte count.
constexpr int kReceiveNothing = -1; // silence: not a byte came
constexpr int kReceiveLost = -2;
constexpr int kReceiveStopped = -3;
constexpr int kReceiveDamaged = -4; // something came, but no answer that holds together

class ReaderLink {
  public:
    virtual ~ReaderLink() = default;
    ReaderLink(const ReaderLink &) = delete;
    ReaderLink &operator=(const ReaderLink &) = delete;

    // Opens the reader at the link's location: VESSIK_OK, VESSIK_E_NO_READER,
    // VESSIK_E_READER_IN_USE, VESSIK_E_ACCESS or VESSIK_E_NOT_SUPPORTED.
    virtual int Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Sends one whole frame.
    virtual SendResult Send(const unsigned char *frame, int len) = 0;
    // One answer into buf: the byte count placed, or kReceiveNothing,
    // kReceiveLost, kReceiveStopped, kReceiveDamaged.
    virtual int Receive(unsigned char *buf, int capacity, const AnswerWait &wait) = 0;
    // The open reader's location text ("" while closed, for USB).
    virtual const char *location() const = 0;
    // Transport, location and ids into an info of the current size.
    virtual void Describe(vessik_reader_info *info) const = 0;
    // Moves the reader to another line rate: VESSIK_E_NOT_SUPPORTED but on
    // a serial line.
    virtual int SetRate(int rate, const AnswerWait &wait);

  protected:
    ReaderLink() = default;
};

// The link a location names: the one place the transport is chosen.
std::unique_ptr<ReaderLink> MakeLink(const Location &where);

} // namespace vessik

#endif
