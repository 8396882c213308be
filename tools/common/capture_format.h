// SPDX-License-Identifier: LGPL-2.1-or-later
// The capture's format, one JSON object a line: written by vessik-doctor
// --capture, read back by vessik-virtual-reader --profile. The lines, in
// order: the header ("capture"), the reader's descriptors, every frame
// ("frame"), per command the answers' times ("answer_times"), and what the
// redaction did ("redaction").
#ifndef VESSIK_TOOLS_CAPTURE_FORMAT_H
#define VESSIK_TOOLS_CAPTURE_FORMAT_H

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace capture_format {

// Bytes as upper-case hex digits.
std::string Hex(const std::vector<uint8_t> &bytes);
// A command as four hex digits, "2001".
std::string CommandHex(const uint8_t (&command)[2]);
// Hex digits in pairs, and nothing else (no sign, no space, no 0x).
bool ParseHex(const std::string &hex, std::vector<uint8_t> *out);

// The lower middle of the times: the median both sides of the format take.
template <typename Time> Time LowerMedian(std::vector<Time> times)
{
    std::sort(times.begin(), times.end());
    return times[(times.size() - 1) / 2];
}

// Answer-time statistics of one command: the median is the lower middle.
struct TimeStats {
    size_t count = 0;
    long long min = 0;
    long long median = 0;
    long long p90 = 0; // nearest rank
    long long max = 0;
};
TimeStats StatsOf(std::vector<long long> times);

// The writer's side.

struct Header {
    const char *kit_version;
    int api_version;
    int reads;
    bool serial; // the transport: "serial" or "usb"
    int module_id_len;
    // The reads took each answer as soon as it was whole: an answer's
    // first_us is then the module's own time, not the fixed wait's.
    bool answer_driven;
};
nlohmann::json HeaderRecord(const Header &header);

// One frame as the capture keeps it, already redacted.
struct Frame {
    int read; // 0: opening the reader
    uint64_t t_us;
    bool answer; // "in": the module's answer; "out": a command
    const std::string &link;
    const std::string &stage;
    const uint8_t (&command)[2];
    long long first_us; // answers alone: to the first byte, -1 when none came
    long long last_us;
    int length;
    const std::vector<uint8_t> &bytes;
    const char *redaction;
};
nlohmann::json FrameRecord(const Frame &frame);

nlohmann::json AnswerTimesRecord(const std::string &command_hex, const TimeStats &first,
                                 const TimeStats &last);

// `answers`: per command, the names of what the redaction did to its answers.
nlohmann::json RedactionRecord(const nlohmann::json &answers, bool keep_module_id);

// The lines as the file holds them.
std::string Text(const std::vector<nlohmann::json> &lines);

// The reader's side.

// No reader answers later than this; a time beyond it is no capture's.
constexpr long long kLatestAnswerUs = 60LL * 1000 * 1000;

// One answer of the capture, as its frame line has it.
struct RecordedAnswer {
    uint16_t command = 0; // command byte, parameter byte
    long long first_us = -1;
    std::vector<uint8_t> bytes;
};

enum class Line { Answer, Other, Malformed };

// Reads one line of a capture: an answer, another record, or a line that is
// malformed (`why` says how).
Line ReadLine(const std::string &text, RecordedAnswer *answer, std::string &why);

} // namespace capture_format

#endif
