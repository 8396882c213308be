// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor --capture: a reader's traffic, its timing and its USB
// descriptors, written as JSON lines for others to replay, with no card's
// data in it.
#ifndef VESSIK_DOCTOR_CAPTURE_H
#define VESSIK_DOCTOR_CAPTURE_H

#include <string>

namespace doctor {

struct CaptureOptions {
    std::string file;
    int reads = 1;
    std::string reader = "usb";
    bool keep_module_id = false;
};

// Runs the reads and writes the capture; the doctor's exit status.
int RunCapture(const CaptureOptions &options);

} // namespace doctor

#endif
