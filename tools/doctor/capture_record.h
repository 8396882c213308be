// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessik-doctor --capture keeps of a frame: parsed from the library's
// frame trace, and redacted as soon as it arrives, before it is stored
// anywhere. The trace already masks every payload but the module's
// identifier's; the redaction puts the sample card's data in the place of a
// read's (so that the answer keeps its shape and a valid check byte), zeroes
// the module's identifier unless asked to keep it, and zeroes the payload of
// every other answer, and of any answer whose length its command does not
// answer with (a module may answer a read late, after the next command).
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
    Kept,           // commands, answers with a status alone, a kept module identifier
    SampleCard,     // the card's data replaced by the sample card's
    ModuleIdZeroed, // the module's identifier replaced by zeros of its length
    PayloadZeroed,  // any other answer with data (find, select, unknown commands, failed
                    // reads, answers of a length their command does not answer with): all
                    // after the status
};
const char *RedactionName(Redaction r);

// Redacts an answer in place; commands are kept as they are.
Redaction Redact(TracedFrame &frame, bool keep_module_id);

// How long the frame is: its bytes, or the length the trace gave, the longer.
size_t FrameLength(const TracedFrame &frame);

// A frame this long could carry the card's text (its 256 bytes come in
// answers of 1288 bytes and more).
constexpr size_t kCardTextFrameBytes = 1288;
// True for a frame that long under a command other than a read of the card
// (30 01, 30 10, 30 03): a capture holding one is not written.
bool MayHoldCardText(const TracedFrame &frame);

} // namespace doctor

#endif
