// SPDX-License-Identifier: LGPL-2.1-or-later
// Command line of vessik-virtual-reader.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_LAUNCHER_OPTIONS_H
#define VESSIK_TOOLS_VIRTUAL_READER_LAUNCHER_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fault_names.h"
#include "serial_module.h"
#include "virtual_reader.h"

// Times are microseconds after the launcher's start; kUnset: never.
constexpr uint64_t kUnset = UINT64_MAX;

// The most readers one launcher puts on its bus.
constexpr int kMaxReaders = 16;

// What one reader starts with and does on its own.
struct ReaderOptions {
    std::string card_file; // empty: the built-in sample card
    bool no_card = false;
    bool no_reader = false;
    uint64_t card_after_us = kUnset;
    uint64_t remove_after_us = kUnset;
    uint64_t unplug_after_us = kUnset;
    uint64_t replug_after_us = kUnset;
    std::vector<std::pair<std::string, std::string>> raw_fields; // KEY, VALUE
    std::vector<std::string> faults;                             // NAME[=VALUE]
};

// What the command line asks of the launcher.
struct LauncherOptions {
    std::vector<ReaderOptions> readers; // --readers of them, reader 1 first
    uint64_t stop_after_us = kUnset;
    bool log = false;
    bool stats = false;
    bool control = false; // the program steers the readers over a socket (see --help)
    bool serial = false;  // a serial module on a pseudo-terminal besides the USB readers
    int serial_rate = vsim::kSerialDefaultRate; // the rate the serial module starts at
    ReaderOptions serial_reader; // its card and faults: the options given for every reader
    std::string profile_file;    // a capture whose timing and answer shapes every reader replays
    bool exact = false;          // the capture's recorded times in order, not their medians
    std::vector<char *> program; // PROGRAM ARGS..., null-terminated
};

// "N:REST" addresses reader N (1 to kMaxReaders): true with both parts set.
// Anything else (no leading digits, no colon) addresses no single reader.
bool split_reader_address(const std::string &text, int *reader, std::string *rest);

// Run: start PROGRAM; Help: --help was given; Error: `error` says what is wrong.
enum class ParseOutcome { Run, Help, Error };

// Reads the launcher's options up to "--" or PROGRAM, and PROGRAM ARGS... after.
ParseOutcome parse_launcher_options(int argc, char **argv, LauncherOptions &out,
                                    std::string &error);

// Sets one card field from --raw-field KEY=VALUE, unchecked.
bool apply_raw_field(const std::string &key, const std::string &value, vsim::CardFields &card,
                     std::string &error);

// The --help text: usage, options and exit statuses.
const char *launcher_usage();

#endif
