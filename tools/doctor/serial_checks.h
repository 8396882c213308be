// SPDX-License-Identifier: LGPL-2.1-or-later
// The doctor's checks on a serial port: whether the device is there, and
// whether this user may open it. Nothing is sent on the line here.
#ifndef VESSIK_DOCTOR_SERIAL_CHECKS_H
#define VESSIK_DOCTOR_SERIAL_CHECKS_H

#include <string>
#include <sys/types.h>

namespace doctor {

struct SerialPortCheck {
    bool exists = false;
    int stat_error = 0;       // errno of the failed stat
    bool is_terminal = false; // a character device
    bool can_open = false;    // readable and writable for this user
    int access_error = 0;     // errno of the failed access check
    std::string owner;        // the device's owner and group, by name where known
    std::string group;
    mode_t mode = 0;       // its permission bits
    bool in_group = false; // this user belongs to the device's group
};
SerialPortCheck check_serial_port(const char *device);

// The doctor's one reading of a serial location.
// The device of a serial location ("serial:/dev/ttyUSB0@57600" or
// "/dev/ttyUSB0@57600"): "/dev/ttyUSB0".
std::string serial_device_of(const std::string &location);
// Its rate: "57600" there; the library's default when none is named.
int serial_rate_of(const std::string &location);
// "serial:DEVICE[@RATE]" for a port named on the command line with or
// without the prefix.
std::string serial_location(const std::string &named);

} // namespace doctor

#endif
