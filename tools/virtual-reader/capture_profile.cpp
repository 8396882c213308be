// SPDX-License-Identifier: LGPL-2.1-or-later
// Replaying a capture's timing and answer shapes.
#include "capture_profile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

constexpr size_t kCommandAt = vsim::kHeaderStageBytes; // command, parameter follow the length
constexpr size_t kCheckByteBytes = 1;
constexpr size_t kStatusBytes = 3;
constexpr int kHexBase = 16;

// Hex digits in pairs, and nothing else (no sign, no space, no 0x).
bool parse_hex(const std::string &hex, std::vector<uint8_t> &out)
{
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (std::isxdigit(static_cast<unsigned char>(hex[i])) == 0 ||
            std::isxdigit(static_cast<unsigned char>(hex[i + 1])) == 0)
            return false;
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, kHexBase)));
    }
    return true;
}

// "2001" -> 0x2001.
bool parse_command(const std::string &hex, uint16_t *command)
{
    std::vector<uint8_t> bytes;
    if (!parse_hex(hex, bytes) || bytes.size() != 2)
        return false;
    *command = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    return true;
}

// The lower middle of the sorted times, as the doctor reports it.
uint64_t median_of(std::vector<uint64_t> times)
{
    std::sort(times.begin(), times.end());
    return times[(times.size() - 1) / 2];
}

bool is_card_read(uint16_t command)
{
    return command >> 8 == vsim::kCmdRead[0];
}

// No reader answers later than this; a time beyond it is no capture's.
constexpr long long kLatestAnswerUs = 60LL * 1000 * 1000;

using nlohmann::json;

// A field that must be a string; false with `why` set otherwise.
bool string_field(const json &record, const char *name, std::string *out, std::string &why)
{
    const auto it = record.find(name);
    if (it == record.end()) {
        why = std::string("no \"") + name + "\"";
        return false;
    }
    if (!it->is_string()) {
        why = std::string("\"") + name + "\" is not a string";
        return false;
    }
    *out = it->get<std::string>();
    return true;
}

// An answer's time: whole microseconds up to kLatestAnswerUs, or -1 (none came).
bool time_field(const json &record, const char *name, long long *out, std::string &why)
{
    const auto it = record.find(name);
    if (it == record.end()) {
        why = std::string("no \"") + name + "\"";
        return false;
    }
    const bool in_range = it->is_number_unsigned()
                              ? it->get<uint64_t>() <= static_cast<uint64_t>(kLatestAnswerUs)
                              : it->is_number_integer() && it->get<long long>() >= -1 &&
                                    it->get<long long>() <= kLatestAnswerUs;
    if (!in_range) {
        why = std::string("\"") + name + "\" is not a time in microseconds (-1 to " +
              std::to_string(kLatestAnswerUs) + ")";
        return false;
    }
    *out = it->get<long long>();
    return true;
}

// One answer of the capture, as its frame line has it.
struct RecordedAnswer {
    uint16_t command = 0;
    long long first_us = -1;
    std::vector<uint8_t> bytes;
};

enum class Line { Answer, Other, Malformed };

// Reads one line of a capture: an answer, another record, or a line that is
// malformed (`why` says how).
Line read_line(const std::string &text, RecordedAnswer *answer, std::string &why)
{
    const json record = json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
        why = "not a JSON object";
        return Line::Malformed;
    }
    std::string kind;
    std::string dir;
    if (!string_field(record, "kind", &kind, why))
        return Line::Malformed;
    if (kind != "frame")
        return Line::Other;
    if (!string_field(record, "dir", &dir, why))
        return Line::Malformed;
    if (dir != "in" && dir != "out") {
        why = "\"dir\" is neither \"in\" nor \"out\"";
        return Line::Malformed;
    }
    if (dir == "out")
        return Line::Other;
    std::string command;
    std::string hex;
    if (!string_field(record, "cmd", &command, why) ||
        !time_field(record, "first_us", &answer->first_us, why) ||
        !string_field(record, "bytes", &hex, why))
        return Line::Malformed;
    if (!parse_command(command, &answer->command)) {
        why = "\"cmd\" is not a command (four hex digits)";
        return Line::Malformed;
    }
    if (!parse_hex(hex, answer->bytes)) {
        why = "\"bytes\" is not hex digits in pairs";
        return Line::Malformed;
    }
    return Line::Answer;
}

} // namespace

std::shared_ptr<CaptureProfile> CaptureProfile::load(const std::string &path, bool exact,
                                                     std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::shared_ptr<CaptureProfile> profile = parse(text.str(), exact, error);
    if (profile == nullptr)
        error = path + ": " + error;
    return profile;
}

std::shared_ptr<CaptureProfile> CaptureProfile::parse(const std::string &text, bool exact,
                                                      std::string &error)
{
    auto profile = std::make_shared<CaptureProfile>();
    profile->exact_ = exact;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.empty())
            continue;
        RecordedAnswer answer;
        std::string why;
        const Line kind = read_line(line, &answer, why);
        if (kind == Line::Malformed) {
            error = "line " + std::to_string(number) + ": " + why;
            return nullptr;
        }
        if (kind != Line::Answer)
            continue;
        if (answer.first_us >= 0)
            profile->times_[answer.command].recorded.push_back(
                static_cast<uint64_t>(answer.first_us));
        const std::vector<uint8_t> &bytes = answer.bytes;
        if (is_card_read(answer.command) || !vsim::sam_frame_valid(bytes) ||
            bytes.size() < kCommandAt + kStatusBytes + 1)
            continue;
        const std::vector<uint8_t> contents(bytes.begin() + kCommandAt,
                                            bytes.end() - kCheckByteBytes);
        profile->shapes_.emplace(std::make_pair(answer.command, contents[kStatusBytes - 1]),
                                 contents);
    }
    if (profile->times_.empty()) {
        error = "no answer with its timing in it (is it a capture of vessik-doctor --capture?)";
        return nullptr;
    }
    for (auto &entry : profile->times_)
        entry.second.median = median_of(entry.second.recorded);
    return profile;
}

std::optional<uint64_t> CaptureProfile::next_delay_us(const uint8_t (&command)[2])
{
    const auto it = times_.find(static_cast<Command>(command[0] << 8 | command[1]));
    if (it == times_.end())
        return std::nullopt;
    Times &t = it->second;
    if (!exact_)
        return t.median;
    // The recorded sequence, from its start again once it is used up.
    const uint64_t delay = t.recorded[t.next];
    t.next = (t.next + 1) % t.recorded.size();
    return delay;
}

std::vector<uint8_t> CaptureProfile::shape(const uint8_t (&command)[2],
                                           const std::vector<uint8_t> &own) const
{
    if (own.size() < kStatusBytes)
        return own;
    const Command key = static_cast<Command>(command[0] << 8 | command[1]);
    const auto it = shapes_.find(std::make_pair(key, own[kStatusBytes - 1]));
    return it == shapes_.end() ? own : it->second;
}
