// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader straight through libusb-1.0, without the library: open and
// claim, write a command frame in its two stages, read an answer's two
// stages. For clients under the launcher that compare the library with the
// bare transfers, or do what the library never does. Header only: the
// program links libusb-1.0 (or the test bus) and vessik_sim.
#ifndef VESSIK_TESTS_SUPPORT_RAW_LINK_H
#define VESSIK_TESTS_SUPPORT_RAW_LINK_H

#include <cstdint>
#include <libusb.h>
#include <vector>

#include "model_frames.h"
#include "vessik_usb_ids.h"
#include "virtual_reader.h"

namespace testsupport {

constexpr int kRawInterface = 0;
// The reader's endpoints are the model's.
constexpr unsigned char kRawHeaderOut = vsim::kEpHeaderOut;
constexpr unsigned char kRawBodyOut = vsim::kEpBodyOut;
constexpr unsigned char kRawHeaderIn = vsim::kEpHeaderIn;
constexpr unsigned char kRawBodyIn = vsim::kEpBodyIn;
constexpr int kRawHeaderBytes = 7;
constexpr int kRawStageBytes = 2048;
constexpr unsigned kRawStageTimeoutMs = 100;

// An open, claimed reader.
struct RawLink {
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;

    int open()
    {
        int rc = libusb_init(&ctx);
        if (rc < 0)
            return rc;
        handle =
            libusb_open_device_with_vid_pid(ctx, vessik::kReaderVendorId, vessik::kReaderProductId);
        if (handle == nullptr)
            return LIBUSB_ERROR_NO_DEVICE;
        return libusb_claim_interface(handle, kRawInterface);
    }
    void close()
    {
        if (handle != nullptr) {
            libusb_release_interface(handle, kRawInterface);
            libusb_close(handle);
        }
        if (ctx != nullptr)
            libusb_exit(ctx);
        handle = nullptr;
        ctx = nullptr;
    }
    // A whole frame (CommandFrame()): its header stage, then the rest.
    int write_frame(const std::vector<uint8_t> &frame)
    {
        // libusb takes the buffer as writable for either direction.
        auto *bytes = const_cast<uint8_t *>(frame.data());
        int n = 0;
        int rc = libusb_bulk_transfer(handle, kRawHeaderOut, bytes, kRawHeaderBytes, &n,
                                      kRawStageTimeoutMs);
        if (rc == 0)
            rc = libusb_bulk_transfer(handle, kRawBodyOut, bytes + kRawHeaderBytes,
                                      static_cast<int>(frame.size()) - kRawHeaderBytes, &n,
                                      kRawStageTimeoutMs);
        return rc;
    }
    // The whole answer into `answer` (header, then body; room for two
    // stages); its length or a libusb error.
    int read_answer(unsigned char *answer, unsigned timeout_ms = kRawStageTimeoutMs)
    {
        int head = 0;
        int body = 0;
        int rc =
            libusb_bulk_transfer(handle, kRawHeaderIn, answer, kRawStageBytes, &head, timeout_ms);
        if (rc == 0)
            rc = libusb_bulk_transfer(handle, kRawBodyIn, answer + head, kRawStageBytes, &body,
                                      timeout_ms);
        return rc < 0 ? rc : head + body;
    }
};

} // namespace testsupport

#endif
