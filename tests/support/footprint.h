// SPDX-License-Identifier: LGPL-2.1-or-later
// What a process holds, read from /proc: open descriptors (and how many of
// them are on a USB device node), threads, resident memory.
#ifndef VESSIK_TESTS_SUPPORT_FOOTPRINT_H
#define VESSIK_TESTS_SUPPORT_FOOTPRINT_H

#include <sys/types.h>

namespace testsupport {

constexpr pid_t kThisProcess = 0;

struct Footprint {
    int fds = -1;
    int usb_nodes = 0; // descriptors on a USB device node
    int threads = -1;
    long rss_kb = -1;
};

// The footprint of `pid`, or of this process. This process's count leaves
// out the descriptor that lists them.
Footprint FootprintOf(pid_t pid = kThisProcess);

// Open descriptors of this process (without the one that lists them), or -1.
int OpenDescriptors();

} // namespace testsupport

#endif
