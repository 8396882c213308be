// SPDX-License-Identifier: LGPL-2.1-or-later
// The model's fault and realism knobs by name, as the launcher's --fault
// NAME[=VALUE] and its control commands give them: one table for the USB
// reader's knobs, one for the serial line's, each with its syntax and help.
#ifndef VESSIK_SIM_FAULT_NAMES_H
#define VESSIK_SIM_FAULT_NAMES_H

#include <cstdio>
#include <string>

#include "serial_module.h"
#include "virtual_reader.h"

namespace vsim {

// A whole number in `base` and nothing else: the knobs' numbers, and the
// launcher's, which take the same syntax.
bool parse_long(const std::string &text, int base, long *value);

// Applies one NAME[=VALUE] to the reader's knobs; false with `error` set
// when the name is unknown or its value does not fit.
bool apply_fault(const std::string &fault_text, Knobs &knobs, std::string &error);

// Whether NAME[=VALUE] is one of the serial line's faults.
bool is_serial_fault(const std::string &fault_text);
// Applies one of the serial line's faults to the serial module's knobs.
bool apply_serial_fault(const std::string &fault_text, SerialKnobs &knobs, std::string &error);

// Every fault of both tables, with its syntax and help, as --help lists them.
void print_fault_help(FILE *out);

} // namespace vsim

#endif
