// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared pieces of the card-read tests: the conversation as the reader heard
// it, and the recorder and output capture every test uses.
#ifndef VESSIK_TESTS_READ_SUPPORT_H
#define VESSIK_TESTS_READ_SUPPORT_H

#include <string>

#include "output_capture.h"
#include "status_recorder.h"
#include "testbus.h"
#include "virtual_reader.h"

namespace readtest {

// The commands the module received, one letter each: S status (the module
// identifier query the poll uses), F find, E select, R read card; '?' for
// anything else. Taken from the body stages.
inline std::string Commands()
{
    constexpr uint8_t kBodyOut = 0x06;
    const struct {
        const uint8_t *command;
        char letter;
    } letters[] = {{vsim::kCmdModuleId, 'S'},
                   {vsim::kCmdFind, 'F'},
                   {vsim::kCmdSelect, 'E'},
                   {vsim::kCmdRead, 'R'}};
    std::string commands;
    for (const testbus::Call &c : testbus::calls()) {
        if (c.name != "libusb_bulk_transfer" || c.endpoint != kBodyOut || c.data.size() < 2)
            continue;
        char letter = '?';
        for (const auto &l : letters)
            if (c.data[0] == l.command[0] && c.data[1] == l.command[1])
                letter = l.letter;
        commands += letter;
    }
    return commands;
}

} // namespace readtest

#endif
