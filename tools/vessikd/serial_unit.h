// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessikd's unit needs to open the serial readers of its settings: its
// sandbox lets USB device nodes alone through, so a systemd generator
// writes, only where serial readers are set, a drop-in that lets their
// devices and the group that owns serial lines in.
#ifndef VESSIKD_SERIAL_UNIT_H
#define VESSIKD_SERIAL_UNIT_H

#include <string>
#include <vector>

namespace vessikd {

// The group that owns serial lines on Debian and its kin.
constexpr const char *kSerialGroup = "dialout";
// The drop-in's name, under vessikd.service.d in the generator's folder.
constexpr const char *kSerialDropInName = "50-serial-readers.conf";

// The drop-in for these serial locations ("serial:/dev/ttyS1@57600"): the
// group, and each device by its path; a USB-serial bridge's node comes and
// goes, so its whole class (ttyUSB, ttyACM) is let in as well. Empty for no
// locations: the unit stays as shipped.
std::string serial_drop_in(const std::vector<std::string> &locations);

// The drop-in for the serial readers of the settings file at `path` (a
// missing file sets none); false with a message for a file that cannot be
// read or settings that do not parse.
bool serial_drop_in_for(const std::string &path, std::string &drop_in, std::string &error);

} // namespace vessikd

#endif
