// SPDX-License-Identifier: LGPL-2.1-or-later
// USB link to the reader over libusb-1.0, which the loading program supplies.
#include "NvUsb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <libusb.h>

#include "Public.h"
#include "diag.h"
#include "usb_device.h"
#include "wipe.h"

using namespace vessik;
using namespace vessik::usb;
using namespace vessik::diag;

NvUsb::NvUsb() : dev_handle(nullptr), usb_context(nullptr) {}

NvUsb::~NvUsb()
{
    DisConnectUsb();
}

int NvUsb::ConnectUsb()
{
    // A second connect on an open object would drop the first handle and
    // context on the floor: release them before starting over.
    if (dev_handle != nullptr || usb_context != nullptr)
        DisConnectUsb();

    libusb_context *context = nullptr;
    if (libusb_init(&context) < 0) {
        PutError(kPerrorInit);
        return -1;
    }
    usb_context = context;

    libusb_device **devices = nullptr;
    if (libusb_get_device_list(usb_context, &devices) < 0) {
        PutError(kPerrorDeviceList);
        return -1;
    }
    dev_handle = libusb_open_device_with_vid_pid(usb_context, kReaderVendorId, kReaderProductId);
    libusb_free_device_list(devices, 1);
    if (dev_handle == nullptr) {
        PutError(kPerrorOpenDevice);
        return -1;
    }

    return usb::ClaimReader(dev_handle, usb::ClaimVoice::Documented) >= 0 ? 0 : -1;
}

int NvUsb::ReadUsb(unsigned char *buf, int timeout)
{
    return ReadUsb(buf, kReplyBufferBytes, timeout);
}

int NvUsb::ReadUsb(unsigned char *buf, int capacity, int timeout)
{
    if (dev_handle == nullptr) {
        PutLine(kLineNoHandle);
        return -1;
    }
    // The header lands at the start and the body from offset 7 on, so the
    // buffer must at least hold a header.
    if (buf == nullptr || capacity < kFrameHeaderBytes)
        return -1;

    unsigned char staging[kInStageBytes];
    int count = 0; // shared by both stages, as the reader's answers are counted

    if (usb::ReadStage(dev_handle, kEndpointHeaderIn, staging, kInStageBytes, &count,
                       static_cast<unsigned>(timeout)) == 0)
        memcpy(buf, staging, static_cast<size_t>(std::min(count, capacity)));

    if (usb::ReadStage(dev_handle, kEndpointBodyIn, staging, kInStageBytes, &count,
                       static_cast<unsigned>(timeout)) != 0) {
        WipeSecret(staging, sizeof staging);
        return count;
    }

    // An answer longer than the caller's buffer is cut; the result counts
    // only what was placed.
    const int placed = std::min(count, capacity - kFrameHeaderBytes);
    memcpy(buf + kFrameHeaderBytes, staging, static_cast<size_t>(placed));
    // The body is a card's text and photo: only the caller's copy stays.
    WipeSecret(staging, sizeof staging);
    return placed + kFrameHeaderBytes;
}

int NvUsb::WriteUsb(unsigned char *frame, int len)
{
    if (dev_handle == nullptr)
        return -1;
    if (frame == nullptr || len < 0)
        return LIBUSB_ERROR_INVALID_PARAM;

    return usb::WriteFrame(dev_handle, frame, len);
}

void NvUsb::DisConnectUsb()
{
    if (usb::ReleaseReader(&dev_handle))
        PutLine(kLineDisconnectUsb);
    usb::EndContext(&usb_context);
}

void NvUsb::Resetep()
{
    if (dev_handle != nullptr)
        libusb_reset_device(dev_handle);
}

int NvUsb::GetUsbStatus()
{
    if (dev_handle == nullptr)
        return -1;
    int configuration = 0;
    return libusb_get_configuration(dev_handle, &configuration);
}

void NvUsb::print_devs(libusb_device **devs)
{
    if (devs == nullptr)
        return;
    for (int i = 0; devs[i] != nullptr; ++i) {
        libusb_device *dev = devs[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) < 0) {
            PutErrorText(kErrorDescriptor);
            return;
        }
        PutFormat(kFormatDevice, desc.idVendor, desc.idProduct, libusb_get_bus_number(dev),
                  libusb_get_device_address(dev));
        uint8_t path[kMaxPortDepth];
        const int ports = libusb_get_port_numbers(dev, path, kMaxPortDepth);
        if (ports > 0) {
            PutFormat(kFormatPortFirst, path[0]);
            for (int j = 1; j < ports; ++j)
                PutFormat(kFormatPortNext, path[j]);
        }
        PutChar('\n');
    }
}
