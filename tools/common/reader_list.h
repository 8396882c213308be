// SPDX-License-Identifier: LGPL-2.1-or-later
// The kit's readers among the USB devices libusb lists, known by the ids of
// vessik_usb_ids.h alone: no device is opened to tell.
#ifndef VESSIK_TOOLS_READER_LIST_H
#define VESSIK_TOOLS_READER_LIST_H

#include <string>

struct libusb_device;

namespace vessik_tools {

// Whether `device` carries one of the readers' USB ids.
bool is_reader(libusb_device *device);

// Copies the readers of `devices`, a list as libusb_get_device_list gives it
// (null-terminated), into `readers`, at most `capacity` of them, in the
// list's order and null-terminated as NvUsb::print_devs wants its list:
// `readers` has room for capacity + 1. Returns how many it copied.
int collect_readers(libusb_device *const *devices, libusb_device **readers, int capacity);

// The location vessik_reader_open takes for `device` ("usb:1-2.3": bus 1,
// ports 2 then 3), or "" when libusb cannot tell its ports.
std::string usb_location(libusb_device *device);

// The reader of `devices` (null-terminated) at `location`, or null.
libusb_device *device_at(libusb_device *const *devices, const std::string &location);

} // namespace vessik_tools

#endif
