// SPDX-License-Identifier: LGPL-2.1-or-later
// A security module on a serial line as the reader handles use it: the same
// frames as over USB, each sent whole, answers assembled from the pieces the
// line delivers. Unlike USB there is no CRC under the frames, so every
// answer's check byte is verified; a damaged frame is dropped and the line
// resynchronised at the next preamble. Internal: not installed.
#ifndef VESSIK_SERIAL_READER_H
#define VESSIK_SERIAL_READER_H

#include <cstddef>
#include <cstdint>

#include "frame_assembler.h"
#include "frame_trace.h"
#include "link.h"
#include "reader_location.h"

namespace vessik {

class SerialReaderLink final : public ReaderLink {
  public:
    // A link to the module at `where`, a serial location.
    explicit SerialReaderLink(const Location &where) : where_(where) {}
    ~SerialReaderLink() override;

    // Opens the device for this process alone (TIOCEXCL and an exclusive
    // lock), raw 8N1 at the location's rate.
    int Open() override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    const char *location() const override { return location_; }
    void Describe(vessik_reader_info *info) const override;
    int rate() const { return rate_; }

    // Sends 60 xx and goes on at `rate`. The acknowledgement may come at the
    // old rate or the new one: either is taken. VESSIK_OK, or
    // VESSIK_E_NOT_SUPPORTED for a rate the modules do not offer, or
    // VESSIK_E_READER_LOST / VESSIK_E_TIMEOUT with the old rate kept. The
    // link's location then names the rate the module runs at, so that it
    // opens again as it is.
    int SetRate(int rate, const AnswerWait &wait) override;

    // Sends a frame whole.
    SendResult Send(const unsigned char *frame, int len) override;
    // One whole frame with a good check byte into buf, waiting for its first
    // byte up to the budget and for each later piece as long again; garbage
    // before a preamble is skipped. The byte count, or kReceiveNothing,
    // kReceiveLost, kReceiveStopped, or kReceiveDamaged when bytes came but
    // no good frame.
    int Receive(unsigned char *buf, int capacity, const AnswerWait &wait) override;

  private:
    enum class Fill { Some, Quiet, Lost };
    // Waits up to `ms` for bytes and appends what came to the pending bytes.
    Fill FillPending(int ms);
    bool Configure(int rate);
    int MoveToRate(int rate, const AnswerWait &wait);

    Location where_;

    int fd_ = -1;
    int rate_ = kDefaultSerialRate;
    char device_[kLocationBytes] = {};
    char location_[kLocationBytes] = {};
    FrameAssembler frames_; // bytes read from the line, not yet taken as a frame
    FrameTrace trace_{"serial"};
};

} // namespace vessik

#endif
