// SPDX-License-Identifier: LGPL-2.1-or-later
// The test bus, emptied, and a reader for it that keeps no frame log: one
// fuzz run makes far more frames than a log should hold.
#ifndef VESSIK_FUZZ_QUIET_BUS_H
#define VESSIK_FUZZ_QUIET_BUS_H

#include "testbus.h"
#include "virtual_reader.h"

struct QuietBus {
    QuietBus()
    {
        testbus::reset();
        reader.set_keep_log(false);
    }
    vsim::VirtualReader reader;
};

#endif
