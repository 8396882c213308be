// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessik-doctor --capture keeps of a frame: parsed from the library's
// frame trace, and redacted as soon as it arrives, before it is stored
// anywhere. The trace already masks the card's data; the redaction puts the
// sample card's data in their place (so that the answer keeps its shape and
// a valid check byte) and zeroes the module's identifier unless asked to
// keep it.
#ifndef VESSIK_DOCTOR_CAPTURE_RECORD_H
#define VESSIK_DOCTOR_CAPTURE_RECORD_H

#include <cstdint>
#include <string>
#include <vector>

namespace doctor {

// One frame as the trace reported it ("frame out ..." / "frame in ...").
struct TracedFrame {
    bool answer = false; // in: the module's answer; out: a command
    std::string link;    // "usb" or "serial"
    std::string stage;   // "02+06", "81+85", "serial"
    uint8_t command[2] = {};
    long long first_us = -1; // answers: command to first byte, -1 when none came
    long long last_us = -1;  // answers: command to last byte
    int length = 0;          // answers: bytes received
    std::vector<uint8_t> bytes;
};

// False for a line that is not a frame of the trace.
bool ParseTraceLine(const char *line, TracedFrame *frame);

// What the redaction did to an answer.
enum class Redaction {
    Kept,           // no card data in it (status, find, select answers; commands)
    SampleCard,     // the card's data replaced by the sample card's
    ModuleIdZeroed, // the module's identifier replaced by zeros of its length
    PayloadZeroed,  // any other answer with data (unknown commands, failed reads): all
                    // after the status
};
const char *RedactionName(Redaction r);

// Redacts an answer in place; commands are kept as they are.
Redaction Redact(TracedFrame &frame, bool keep_module_id);

// A command as four hex digits, "2001".
std::string CommandHex(const uint8_t (&command)[2]);
// Bytes as upper-case hex digits.
std::string Hex(const std::vector<uint8_t> &bytes);

// Answer-time statistics of one command: the median is the lower middle.
struct TimeStats {
    size_t count = 0;
    long long min = 0;
    long long median = 0;
    long long p90 = 0; // nearest rank
    long long max = 0;
};
TimeStats StatsOf(std::vector<long long> times);

} // namespace doctor

#endif
