// SPDX-License-Identifier: LGPL-2.1-or-later
// The USB reader as a device, over libusb-1.0, which the loading program supplies.
#include "usb_device.h"

#include <algorithm>
#include <libusb.h>

#include "Public.h"
#include "diag.h"
#include "vessik_usb_ids.h"

namespace vessik {
namespace usb {
namespace {

using namespace diag;

// The documented connect looks at the kernel driver once more and prints
// what it sees, then detaches it whatever the answer.
void SayDriverStateAndDetach(libusb_device_handle *handle)
{
    if (libusb_kernel_driver_active(handle, kReaderInterface) == 1) {
        PutLine(kLineKernelDriverActive);
        if (libusb_kernel_driver_active(handle, kReaderInterface) == 0)
            PutLine(kLineKernelDriverDetached);
    }
    libusb_detach_kernel_driver(handle, kReaderInterface);
}

// One OUT stage; a failure clears the endpoint's halt.
int WriteStage(libusb_device_handle *handle, unsigned char endpoint, const unsigned char *bytes,
               int len)
{
    int count = 0;
    // libusb only reads an OUT transfer's buffer.
    const int rc = libusb_bulk_transfer(handle, endpoint, const_cast<unsigned char *>(bytes), len,
                                        &count, kOutStageTimeoutMs);
    if (rc != 0) {
        libusb_clear_halt(handle, endpoint);
        LOG_Str(kLogWriteUsb, kLogWriteErr);
        return rc;
    }
    return count;
}

} // namespace

int ClaimReader(libusb_device_handle *handle, ClaimVoice voice)
{
    if (libusb_kernel_driver_active(handle, kReaderInterface) == 1)
        libusb_detach_kernel_driver(handle, kReaderInterface);
    // Another program's claim refuses the configuration; the claim then tells.
    if (libusb_set_configuration(handle, kReaderConfiguration) != 0)
        LOG_Str(kLogUsb, kLogSetConfiguration);
    if (voice == ClaimVoice::Documented)
        SayDriverStateAndDetach(handle);

    const int claimed = libusb_claim_interface(handle, kReaderInterface);
    if (voice == ClaimVoice::Documented) {
        if (claimed >= 0) {
            PutLine(kLineClaimedInterface);
        } else {
            PutFormat(kFormatClaimResult, claimed);
            PutError(kPerrorClaim);
        }
    }
    return claimed;
}

int WriteFrame(libusb_device_handle *handle, const unsigned char *frame, int len)
{
    // The controller's short frames go out whole as one header-stage
    // transfer; nothing beyond the frame is sent.
    const int header =
        WriteStage(handle, kEndpointHeaderOut, frame, std::min(len, kFrameHeaderBytes));
    if (header < 0)
        return header;
    if (len < kFrameHeaderBytes)
        return 0;
    return WriteStage(handle, kEndpointBodyOut, frame + kFrameHeaderBytes, len - kFrameHeaderBytes);
}

int ReadStage(libusb_device_handle *handle, unsigned char endpoint, unsigned char *dest, int room,
              int *count, unsigned timeout_ms)
{
    return libusb_bulk_transfer(handle, endpoint, dest, room, count, timeout_ms);
}

bool ReleaseReader(libusb_device_handle **handle)
{
    if (*handle == nullptr)
        return false;
    libusb_release_interface(*handle, kReaderInterface);
    libusb_close(*handle);
    *handle = nullptr;
    return true;
}

void EndContext(libusb_context **context)
{
    if (*context == nullptr)
        return;
    libusb_exit(*context);
    *context = nullptr;
}

} // namespace usb
} // namespace vessik
