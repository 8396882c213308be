// SPDX-License-Identifier: LGPL-2.1-or-later
// Whether vessikd answers on this computer, and whom it admits: its status
// as a local program gets it, which holds no card data.
#ifndef VESSIK_DOCTOR_SERVICE_CHECK_H
#define VESSIK_DOCTOR_SERVICE_CHECK_H

namespace doctor {

// The port vessikd's settings file names, or its default.
int service_port_from_settings();

// Asks vessikd at 127.0.0.1:`port` for its status and prints what it says
// of itself and of whom it admits. The service is optional: this is a
// finding, never part of the verdict.
void report_service(int port);

} // namespace doctor

#endif
