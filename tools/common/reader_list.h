// SPDX-License-Identifier: LGPL-2.1-or-later
// The USB device behind a location the library listed: which devices are
// readers is the library's to say (vessik_reader_list), so only the
// location is matched here, and no device is opened to tell.
#ifndef VESSIK_TOOLS_READER_LIST_H
#define VESSIK_TOOLS_READER_LIST_H

#include <string>

struct libusb_device;

namespace vessik_tools {

// The location vessik_reader_open takes for `device` ("usb:1-2.3": bus 1,
// ports 2 then 3), or "" when libusb cannot tell its ports.
std::string usb_location(libusb_device *device);

// The device of `devices` (null-terminated) at `location`, a location
// vessik_reader_list gave, or null.
libusb_device *device_at(libusb_device *const *devices, const std::string &location);

} // namespace vessik_tools

#endif
