// SPDX-License-Identifier: LGPL-2.1-or-later
// USB devices found by the location the library lists them at (see
// reader_list.h).
#include "reader_list.h"

#include <cstdint>
#include <libusb.h>

namespace vessik_tools {

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
        if (usb_location(devices[i]) == location)
            return devices[i];
    }
    return nullptr;
}

} // namespace vessik_tools
