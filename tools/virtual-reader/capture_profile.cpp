// SPDX-License-Identifier: LGPL-2.1-or-later
// Replaying a capture's timing and answer shapes; the capture's lines are
// read by its format's own reader (tools/common/capture_format).
#include "capture_profile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "capture_format.h"

namespace {

constexpr size_t kCommandAt = vsim::kHeaderStageBytes; // command, parameter follow the length
constexpr size_t kCheckByteBytes = 1;
constexpr size_t kStatusBytes = 3;

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
        capture_format::RecordedAnswer answer;
        std::string why;
        const capture_format::Line kind = capture_format::ReadLine(line, &answer, why);
        if (kind == capture_format::Line::Malformed) {
            error = "line " + std::to_string(number) + ": " + why;
            return nullptr;
        }
        if (kind != capture_format::Line::Answer)
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
        entry.second.median = capture_format::LowerMedian(entry.second.recorded);
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
