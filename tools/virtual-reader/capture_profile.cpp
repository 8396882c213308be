// SPDX-License-Identifier: LGPL-2.1-or-later
// Replaying a capture's timing and answer shapes.
#include "capture_profile.h"

#include <algorithm>
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

bool parse_hex(const std::string &hex, std::vector<uint8_t> &out)
{
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char *end = nullptr;
        const std::string two = hex.substr(i, 2);
        const long byte = std::strtol(two.c_str(), &end, kHexBase);
        if (*end != '\0')
            return false;
        out.push_back(static_cast<uint8_t>(byte));
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
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object()) {
            error = "line " + std::to_string(number) + ": not a JSON object";
            return nullptr;
        }
        if (record.value("kind", "") != "frame" || record.value("dir", "") != "in")
            continue;
        uint16_t command = 0;
        if (!parse_command(record.value("cmd", ""), &command)) {
            error = "line " + std::to_string(number) + ": no command";
            return nullptr;
        }
        const long long first_us = record.value("first_us", -1LL);
        if (first_us >= 0)
            profile->times_[command].recorded.push_back(static_cast<uint64_t>(first_us));

        std::vector<uint8_t> bytes;
        if (is_card_read(command) || !parse_hex(record.value("bytes", ""), bytes) ||
            !vsim::sam_frame_valid(bytes) || bytes.size() < kCommandAt + kStatusBytes + 1)
            continue;
        const std::vector<uint8_t> contents(bytes.begin() + kCommandAt,
                                            bytes.end() - kCheckByteBytes);
        profile->shapes_.emplace(std::make_pair(command, contents[kStatusBytes - 1]), contents);
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
