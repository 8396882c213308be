// SPDX-License-Identifier: LGPL-2.1-or-later
// The kit's readers among the listed USB devices (see reader_list.h).
#include "reader_list.h"

#include <cstdint>
#include <libusb.h>

#include "vessik_usb_ids.h"

namespace vessik_tools {

bool is_reader(libusb_device *device)
{
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0)
        return false;
    for (const vessik::ReaderUsbId &id : vessik::kReaderUsbIds) {
        if (descriptor.idVendor == id.vendor && descriptor.idProduct == id.product)
            return true;
    }
    return false;
}

int collect_readers(libusb_device *const *devices, libusb_device **readers, int capacity)
{
    int count = 0;
    for (int i = 0; devices[i] != nullptr && count < capacity; ++i) {
        if (is_reader(devices[i]))
            readers[count++] = devices[i];
    }
    readers[count] = nullptr;
    return count;
}

std::string usb_location(libusb_device *device)
{
    constexpr int kMaxPorts = 7; // USB allows hubs seven deep
    uint8_t ports[kMaxPorts] = {};
    const int count = libusb_get_port_numbers(device, ports, kMaxPorts);
    if (count <= 0)
        return "";
    std::string text = "usb:" + std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i)
        text += (i > 0 ? "." : "") + std::to_string(ports[i]);
    return text;
}

libusb_device *device_at(libusb_device *const *devices, const std::string &location)
{
    for (int i = 0; devices[i] != nullptr; ++i) {
        if (is_reader(devices[i]) && usb_location(devices[i]) == location)
            return devices[i];
    }
    return nullptr;
}

} // namespace vessik_tools
