// SPDX-License-Identifier: LGPL-2.1-or-later
// USB link to the reader: every frame crosses the bus as a 7-byte header
// stage and a body stage, on separate bulk endpoints.
#ifndef VESSIK_NVUSB_H
#define VESSIK_NVUSB_H

#include <cstdint>

#include "vessik_export.h"
// The reader's identity on the bus (kReaderVendorId, kReaderProductId, its
// configuration and interface), made from the table lib/usb_ids.txt as the
// udev rule is.
#include "vessik_usb_ids.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

class VESSIK_EXPORT NvUsb {
  public:
    libusb_device_handle *dev_handle; // the open reader, or null
    libusb_context *usb_context;      // this link's own libusb context, or null

    NvUsb();
    ~NvUsb(); // disconnects

    // 0 when the reader is open and interface 0 claimed, -1 otherwise.
    int ConnectUsb();
    // Places one answer in buf (at most 2048 bytes in all) and returns the
    // bytes placed, header included; -1 with no device open.
    int ReadUsb(unsigned char *buf, int timeout);
    // The same, for a caller whose buffer holds `capacity` bytes.
    int ReadUsb(unsigned char *buf, int capacity, int timeout);
    // Body bytes sent, a negative libusb code when a stage failed, -1 with no
    // device open. Frames under 7 bytes go out whole as the header stage.
    int WriteUsb(unsigned char *frame, int len);
    // Releases the interface, closes the device (printing "disconnect usb ")
    // and ends the context.
    void DisConnectUsb();
    // Resets the reader's device, when one is open.
    void Resetep();
    // libusb's result of asking the active configuration; -1 with no device.
    int GetUsbStatus();
    // Prints vendor:product, bus, device and port path of each device listed.
    void print_devs(libusb_device **devs);
};

#endif
