// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessikd's unit needs for its serial readers (see serial_unit.h).
#include "serial_unit.h"

#include <set>

#include "config.h"

namespace vessikd {

namespace {

// Device classes whose nodes come and go with a USB-serial bridge.
const char *const kPluggedClasses[] = {"ttyUSB", "ttyACM"};

// "ttyUSB" for /dev/ttyUSB0; empty for a line that stays put.
std::string plugged_class(const std::string &device)
{
    const std::string name = device.substr(device.rfind('/') + 1);
    for (const char *cls : kPluggedClasses) {
        if (name.compare(0, std::string(cls).size(), cls) == 0)
            return cls;
    }
    return std::string();
}

} // namespace

std::string serial_drop_in(const std::vector<std::string> &locations)
{
    if (locations.empty())
        return std::string();
    std::string text = "# Written by vessikd-serial-generator from vessikd's serial-readers.\n"
                       "[Service]\n"
                       "SupplementaryGroups=" +
                       std::string(kSerialGroup) + "\n";
    std::set<std::string> classes;
    for (const std::string &location : locations) {
        const std::string device = serial_device_of(location);
        text += "DeviceAllow=" + device + " rw\n";
        const std::string cls = plugged_class(device);
        if (!cls.empty())
            classes.insert(cls);
    }
    for (const std::string &cls : classes)
        text += "DeviceAllow=char-" + cls + " rw\n";
    return text;
}

bool serial_drop_in_for(const std::string &path, std::string &drop_in, std::string &error)
{
    Settings file;
    Config config;
    // Only the serial readers matter here: the service itself judges the
    // rest of the file, and its owners, when it starts.
    if (!load_config_file(path, false, file, error))
        return false;
    const auto it = file.find("serial-readers");
    std::vector<std::string> locations;
    if (it != file.end()) {
        for (const SettingValue &value : it->second) {
            if (!parse_serial_readers(value.text, locations, error)) {
                error = value.where + ": " + error;
                return false;
            }
        }
    }
    drop_in = serial_drop_in(locations);
    return true;
}

} // namespace vessikd
