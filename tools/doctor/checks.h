// SPDX-License-Identifier: LGPL-2.1-or-later
// The doctor's checks: each one looks at one thing a card read needs and
// reports it without changing the reader's state for good.
#ifndef VESSIK_DOCTOR_CHECKS_H
#define VESSIK_DOCTOR_CHECKS_H

#include <cstddef>

struct libusb_device;

namespace doctor {

// Can this user open the reader's usbfs node for reading and writing?
struct NodeCheck {
    char path[32] = {};
    bool opens = false;
    int error = 0; // errno of the failed open
};
NodeCheck check_node(libusb_device *dev);

// Who holds interface 0, judged through a libusb handle on the reader.
enum class InterfaceState {
    NotOpened,    // libusb_open failed: nothing could be asked
    Free,         // claimed and released again
    KernelDriver, // a kernel driver holds it; the library detaches it
    Unconfigured, // another configuration is active; the library sets its own
    Busy,         // another program has claimed it
    ClaimFailed,  // any other claim failure
};
struct InterfaceCheck {
    InterfaceState state = InterfaceState::NotOpened;
    int usb_error = 0; // libusb code behind NotOpened, Busy or ClaimFailed
    int configuration = 0;
    bool driver_known = true; // false: the kernel could not say
};
InterfaceCheck check_interface(libusb_device *dev);

// Whether the library's connect would succeed on a reader in this state.
bool read_can_start(const NodeCheck &node, const InterfaceCheck &iface);

} // namespace doctor

#endif
