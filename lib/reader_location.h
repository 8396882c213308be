// SPDX-License-Identifier: LGPL-2.1-or-later
// Where a reader is: the text a client passes to vessik_reader_open, parsed.
//   "usb"                the first USB reader found
//   "usb:<bus>-<ports>"  one USB socket, e.g. "usb:1-2.3" (bus 1, ports 2 then 3)
//   "serial:<device>[@<rate>]"  a security module on a serial line
// Internal: not installed.
#ifndef VESSIK_READER_LOCATION_H
#define VESSIK_READER_LOCATION_H

#include <cstddef>
#include <cstdint>

#include "usb_device.h"

namespace vessik {

enum class LocationKind { UsbFirst, UsbPort, Serial };

// What starts a serial location.
constexpr char kSerialLocationPrefix[] = "serial:";

// Longest location text, terminator included ("serial:" and a device path).
constexpr size_t kLocationBytes = 96;
constexpr int kDefaultSerialRate = 115200;

struct Location {
    LocationKind kind = LocationKind::UsbFirst;
    int bus = 0;
    uint8_t ports[usb::kMaxPortDepth] = {};
    int port_count = 0;
    char serial_device[kLocationBytes] = {};
    int serial_rate = kDefaultSerialRate;
};

// VESSIK_OK with `out` filled, or VESSIK_E_BAD_LOCATION for a null, empty,
// malformed or over-long text, or a serial rate the modules do not offer.
int ParseLocation(const char *where, Location *out);

// "usb:<bus>-<p1>.<p2>..." into `out`; false when it does not fit.
bool FormatUsbLocation(int bus, const uint8_t *ports, int port_count, char *out, size_t room);

// "serial:<device>", with "@<rate>" when the rate is not the default.
bool FormatSerialLocation(const char *device, int rate, char *out, size_t room);

// The rates a serial module can be set to.
bool SerialRateSupported(int rate);

// Those rates for people, slowest first: "9600, 19200, 38400, 57600 or 115200".
bool FormatModuleRates(char *out, size_t room);

} // namespace vessik

#endif
