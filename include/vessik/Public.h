// SPDX-License-Identifier: LGPL-2.1-or-later
// Time, string and logging helpers exported with the library.
#ifndef VESSIK_PUBLIC_H
#define VESSIK_PUBLIC_H

#include <cstdint>
#include <string>
#include <vector>

#include "vessik_export.h"

// Milliseconds of the monotonic clock.
VESSIK_EXPORT int64_t GetTickCount();
// Clears trailing spaces (never the first character); returns its argument.
VESSIK_EXPORT char *chartrimright(char *text);
// Pieces of text between occurrences of separator, in order.
VESSIK_EXPORT std::vector<std::string> split(std::string text, std::string separator);

// Failure hook of the transports and the self-check: discards its texts.
VESSIK_EXPORT void LOG_Str(std::string heading, std::string detail);
// Prints "Y-M-D h:m:s.us[tag==value]" on standard output.
VESSIK_EXPORT void LOG_Int(std::string tag, int value);

#endif
