// SPDX-License-Identifier: LGPL-2.1-or-later
// A USB reader as the reader handles use it: found by the id table, opened
// at a location, held until closed, and answers waited for in slices within a
// budget. It says nothing on standard output; diagnostics go to the log.
// Internal: not installed.
#ifndef VESSIK_USB_READER_H
#define VESSIK_USB_READER_H

#include <cstddef>
#include <cstdint>

#include "frame_trace.h"
#include "link.h"
#include "reader_location.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct vessik_reader_info;

namespace vessik {

// One USB reader on the bus, without opening it.
struct UsbReaderFound {
    char location[kLocationBytes];
    uint16_t vendor_id;
    uint16_t product_id;
};

// Calls `found` for each reader with ids from the table, in bus order.
// Returns how many there are, or a negative VESSIK_E_* code.
int ListUsbReaders(void (*found)(const UsbReaderFound &reader, void *context), void *context);

class UsbReaderLink final : public ReaderLink {
  public:
    // A link to the reader at `where` ("usb": the first one that opens).
    explicit UsbReaderLink(const Location &where) : where_(where) {}
    ~UsbReaderLink() override;

    // Opens the reader and claims its interface.
    int Open() override;
    void Close() override;
    bool IsOpen() const override { return handle_ != nullptr; }
    const char *location() const override { return location_; }
    void Describe(vessik_reader_info *info) const override;

    SendResult Send(const unsigned char *frame, int len) override;
    // Waits for each stage in slices of wait.slice_ms, the whole answer for up
    // to wait.budget_ms and each stage at least wait.stage_ms, checking
    // wait.should_stop between slices. The byte count placed (header
    // included), or kReceiveNothing (no header came), kReceiveLost,
    // kReceiveStopped, kReceiveDamaged (a transfer failed, or the body never came).
    int Receive(unsigned char *buf, int capacity, const AnswerWait &wait) override;

  private:
    // Cut: an answer whose body stopped short of the length it announced.
    enum class StageResult { Ok, Nothing, Lost, Stopped, Failed, Cut };
    // One stage, in slices, while *left_ms of the answer's budget lasts.
    StageResult ReceiveStage(unsigned char endpoint, unsigned char *dest, int room, int *count,
                             int *left_ms, const AnswerWait &wait);
    // With wait.whole_frame: more body transfers, until the body holds the
    // length the header announced (or the buffer is full).
    StageResult ReceiveRestOfBody(unsigned char *buf, int capacity, int *count, int *left_ms,
                                  const AnswerWait &wait);
    // Reads and drops what an answer given up may still deliver.
    void DrainStale();
    int OpenDevice(libusb_device *device);

    const Location where_;

    libusb_context *context_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
    char location_[kLocationBytes] = {};
    uint16_t vendor_id_ = 0;
    uint16_t product_id_ = 0;
    bool answer_abandoned_ = false;
    FrameTrace trace_{"usb"};
};

} // namespace vessik

#endif
