// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal steps of the USB link's release, shared by its own disconnect and
// the reader object's close, which says so differently.
#ifndef VESSIK_USB_LINK_H
#define VESSIK_USB_LINK_H

class NvUsb;

namespace vessik {

// Releases interface 0 and closes the device, if one is open. True when a
// device was closed.
bool CloseUsbDevice(NvUsb &usb);
// Ends the libusb context, if there is one.
void EndUsbContext(NvUsb &usb);

} // namespace vessik

#endif
