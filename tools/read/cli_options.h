// SPDX-License-Identifier: LGPL-2.1-or-later
// Command line of vessik-read: options, exit codes and the help text.
#ifndef VESSIK_TOOLS_READ_CLI_OPTIONS_H
#define VESSIK_TOOLS_READ_CLI_OPTIONS_H

#include <string>

namespace vread {

// Exit codes, as --help lists them.
constexpr int kExitCardRead = 0; // --once: a card was read; --watch: stopped by a signal
constexpr int kExitUsage = 1;
constexpr int kExitNoReader = 2;
constexpr int kExitTimeout = 3;
constexpr int kExitCancelled = 4; // --once stopped by SIGINT or SIGTERM
constexpr int kExitReaderLost = 5;
constexpr int kExitFailed = 6; // anything else the library reports
// --photo, but only the stand-in decoder answers: the card was printed, no
// image can be written.
constexpr int kExitNoPhotoDecoder = 7;

// The longest pause between finds we let through.
constexpr unsigned kMaxIntervalMs = 60000;
// The longest deadline the library's millisecond count can carry.
constexpr double kMaxTimeoutS = 4294967.0;

// --photo-format: a PNG encoded by the library from the decoder's checked
// BMP, or the decoder's own BMP file as it wrote it.
constexpr const char *kPhotoFormatPng = "png";
constexpr const char *kPhotoFormatBmp = "bmp";

// What the command line asks for.
struct CliOptions {
    bool json = false;
    bool watch = false;                         // false: --once
    unsigned timeout_ms = 0;                    // 0: wait for ever
    unsigned interval_ms = 0;                   // 0: the library's default
    std::string photo_dir;                      // empty: no image is asked for
    std::string photo_format = kPhotoFormatPng; // --photo-format: png or bmp
    std::string reader;            // --reader WHERE; empty: the default reader of vessik_read
    bool list = false;             // --list: the readers, no card
    bool fingerprints = false;     // --fingerprint: the templates too
    bool appended_address = false; // --appended-address: the newest appended address too
    bool answer_driven = false;    // --answer-driven: no fixed wait after the read command
};

// Run: read cards; Help: --help was given; Usage: the command line is wrong.
enum class ParseOutcome { Run, Help, Usage };

// Parses argv. Usage: `error` says why. Options may be given as "--x V" or
// "--x=V"; --once and --watch exclude each other; --list takes --json alone.
ParseOutcome parse_cli(int argc, char **argv, CliOptions &out, std::string &error);

// The --help text.
const char *cli_usage();

// The exit status for a library result (VESSIK_OK or a VESSIK_E_* code).
int exit_code_for(int result);

// Ends the errors about the reader: vessik-doctor finds out which of its
// causes holds (no device, rules, another program, the build).
constexpr const char *kDoctorHint = " (run vessik-doctor to see why)";

// The error line's text for a library code: its own text, and for the errors
// about the reader the hint to vessik-doctor.
std::string error_text(int result);

} // namespace vread

#endif
