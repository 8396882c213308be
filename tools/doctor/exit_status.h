// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor's exit statuses: of its checks, and of its capture.
#ifndef VESSIK_DOCTOR_EXIT_STATUS_H
#define VESSIK_DOCTOR_EXIT_STATUS_H

namespace doctor {

enum ExitStatus : int {
    kExitReady = 0,
    kExitNoReader = 1,
    kExitNotUsable = 2,
    kExitUsage = 3,
    // The capture's, in the same numbers.
    kExitCaptured = kExitReady,
    kExitCaptureFailed = kExitNotUsable,
};

} // namespace doctor

#endif
