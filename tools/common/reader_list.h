// The kit's readers among the USB devices libusb lists, known by the ids of
// vessik_usb_ids.h alone: no device is opened to tell.
#ifndef VESSIK_TOOLS_READER_LIST_H
#define VESSIK_TOOLS_READER_LIST_H

struct libusb_device;

namespace vessik_tools {

// Whether `device` carries one of the readers' USB ids.
bool is_reader(libusb_device *device);

// Copies the readers of `devices`, a list as libusb_get_device_list gives it
// (null-terminated), into `readers`, at most `capacity` of them, in the
// list's order and null-terminated as NvUsb::print_devs wants its list:
// `readers` has room for capacity + 1. Returns how many it copied.
int collect_readers(libusb_device *const *devices, libusb_device **readers, int capacity);

} // namespace vessik_tools

#endif
