// Shared pieces of the card-read tests: the conversation as the reader heard
// it, and the recorder and output capture every test uses.
#ifndef VESSIK_TESTS_READ_SUPPORT_H
#define VESSIK_TESTS_READ_SUPPORT_H

#include <string>

#include "output_capture.h"
#include "status_recorder.h"
#include "testbus.h"

namespace readtest {

// The commands the module received, one letter each: S status, F find,
// E select, R read card; '?' for anything else. Taken from the body stages.
inline std::string Commands()
{
    std::string commands;
    for (const testbus::Call &c : testbus::calls()) {
        if (c.name != "libusb_bulk_transfer" || c.endpoint != 0x06 || c.data.size() < 2)
            continue;
        const int cmd = (c.data[0] << 8) | c.data[1];
        switch (cmd) {
        case 0x12FF:
            commands += 'S';
            break;
        case 0x2001:
            commands += 'F';
            break;
        case 0x2002:
            commands += 'E';
            break;
        case 0x3001:
            commands += 'R';
            break;
        default:
            commands += '?';
            break;
        }
    }
    return commands;
}

} // namespace readtest

#endif
