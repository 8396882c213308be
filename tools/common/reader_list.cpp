// The kit's readers among the listed USB devices (see reader_list.h).
#include "reader_list.h"

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

} // namespace vessik_tools
