// SPDX-License-Identifier: LGPL-2.1-or-later
// The doctor's checks on each reader.
#include "checks.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include "vessik_usb_ids.h"

namespace doctor {

NodeCheck check_node(libusb_device *dev)
{
    NodeCheck result;
    snprintf(result.path, sizeof result.path, "/dev/bus/usb/%03u/%03u",
             static_cast<unsigned>(libusb_get_bus_number(dev)),
             static_cast<unsigned>(libusb_get_device_address(dev)));
    const int fd = open(result.path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    close(fd);
    result.opens = true;
    return result;
}

namespace {

// Claims interface 0 and lets it go at once: the claim fails while another
// program uses the reader, which is what stops a read from starting.
void probe_claim(libusb_device_handle *handle, InterfaceCheck &result)
{
    const int rc = libusb_claim_interface(handle, vessik::kReaderInterface);
    if (rc == 0) {
        libusb_release_interface(handle, vessik::kReaderInterface);
        result.state = InterfaceState::Free;
        return;
    }
    result.usb_error = rc;
    result.state = rc == LIBUSB_ERROR_BUSY ? InterfaceState::Busy : InterfaceState::ClaimFailed;
}

void inspect_open_reader(libusb_device_handle *handle, InterfaceCheck &result)
{
    const int active = libusb_kernel_driver_active(handle, vessik::kReaderInterface);
    if (active == 1) {
        result.state = InterfaceState::KernelDriver;
        return;
    }
    result.driver_known = active == 0;

    // Interface 0 exists only in the reader's own configuration, which the
    // library selects before it claims.
    if (libusb_get_configuration(handle, &result.configuration) == 0 &&
        result.configuration != vessik::kReaderConfiguration) {
        result.state = InterfaceState::Unconfigured;
        return;
    }
    probe_claim(handle, result);
}

} // namespace

InterfaceCheck check_interface(libusb_device *dev)
{
    InterfaceCheck result;
    libusb_device_handle *handle = nullptr;
    const int rc = libusb_open(dev, &handle);
    if (rc != 0) {
        result.usb_error = rc;
        return result;
    }
    inspect_open_reader(handle, result);
    libusb_close(handle);
    return result;
}

bool read_can_start(const NodeCheck &node, const InterfaceCheck &iface)
{
    if (!node.opens)
        return false;
    switch (iface.state) {
    case InterfaceState::Free:
    case InterfaceState::KernelDriver:
    case InterfaceState::Unconfigured:
        return true;
    case InterfaceState::NotOpened:
    case InterfaceState::Busy:
    case InterfaceState::ClaimFailed:
        return false;
    }
    return false;
}

} // namespace doctor
