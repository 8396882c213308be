// SPDX-License-Identifier: LGPL-2.1-or-later
// Frames of a capture: parsed from the trace, redacted, summed up.
#include "capture_record.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "card.h"
#include "virtual_reader.h"

namespace doctor {
namespace {

constexpr size_t kStatusAt = vsim::kSamStatusOffset;
constexpr size_t kPayloadAt = kStatusAt + 1;
constexpr size_t kCheckByteBytes = 1;
constexpr int kHexBase = 16;
constexpr int kPercentile = 90;
constexpr int kPercent = 100;

// The read answers' data after the status: the text and photo lengths.
constexpr uint8_t kTextAndPhotoLengths[4] = {0x01, 0x00, 0x04, 0x00};

// The whole answers that carry a payload, by command: a module's identifier,
// a found card's and a selected card's numbers, the two reads of the card
// (30 10 with 0, 1 or 2 templates) and the appended address.
constexpr size_t kFrameAround = kPayloadAt + kCheckByteBytes;
constexpr size_t kFindPayloadBytes = 4;
constexpr size_t kSelectPayloadBytes = 8;
constexpr size_t kFindAnswerBytes = kFrameAround + kFindPayloadBytes;
constexpr size_t kSelectAnswerBytes = kFrameAround + kSelectPayloadBytes;
constexpr size_t kTemplateBytes = 512;
constexpr size_t kAppendedAddressAnswerBytes = kFrameAround + vsim::kAppendedAddressBytes;
struct AnswerLength {
    const uint8_t (&command)[2];
    size_t bytes;
};
const AnswerLength kAnswerLengths[] = {
    {vsim::kCmdModuleId, kFrameAround + vsim::kModuleIdBytes},
    {vsim::kCmdFind, kFindAnswerBytes},
    {vsim::kCmdSelect, kSelectAnswerBytes},
    {vsim::kCmdRead, vsim::kReadAnswerBytes},
    {vsim::kCmdReadWithFingerprints, vsim::kReadWithFingerprintsBaseBytes},
    {vsim::kCmdReadWithFingerprints, vsim::kReadWithFingerprintsBaseBytes + kTemplateBytes},
    {vsim::kCmdReadWithFingerprints, vsim::kReadWithFingerprintsBaseBytes + 2 * kTemplateBytes},
    {vsim::kCmdReadAppendedAddress, kAppendedAddressAnswerBytes},
};

bool ParseHex(const std::string &hex, std::vector<uint8_t> *out)
{
    if (hex.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char *end = nullptr;
        const std::string two = hex.substr(i, 2);
        const long byte = strtol(two.c_str(), &end, kHexBase);
        if (*end != '\0')
            return false;
        out->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

bool Is(const uint8_t (&command)[2], const uint8_t (&known)[2])
{
    return command[0] == known[0] && command[1] == known[1];
}

// The answer has a length its command answers with; any other may be a late
// answer to another command.
bool HasItsCommandsLength(const TracedFrame &frame)
{
    for (const AnswerLength &known : kAnswerLengths) {
        if (Is(frame.command, known.command) && frame.bytes.size() == known.bytes)
            return true;
    }
    return false;
}

bool IsCardRead(const uint8_t (&command)[2])
{
    return Is(command, vsim::kCmdRead) || Is(command, vsim::kCmdReadWithFingerprints) ||
           Is(command, vsim::kCmdReadAppendedAddress);
}

// The sample card's data for an answer to `command`, after the status.
std::vector<uint8_t> SamplePayload(const uint8_t (&command)[2], size_t payload_bytes)
{
    const vsim::CardFields card = vsim::sample_card();
    const vsim::CardFields extras = vsim::sample_card_with_fingerprints();
    std::vector<uint8_t> data;
    if (Is(command, vsim::kCmdReadAppendedAddress)) {
        const auto address = vsim::build_appended_address(extras);
        data.assign(address.begin(), address.end());
        return data;
    }
    const bool with_fingerprints = Is(command, vsim::kCmdReadWithFingerprints);
    std::vector<uint8_t> templates;
    for (const std::vector<uint8_t> &t : extras.fingerprints)
        templates.insert(templates.end(), t.begin(), t.end());
    // As many template bytes as the real answer carried, from the sample's.
    const size_t fixed = sizeof kTextAndPhotoLengths + (with_fingerprints ? 2 : 0) +
                         vsim::kTextBlockBytes + vsim::kPhotoBytes;
    templates.resize(with_fingerprints && payload_bytes > fixed
                         ? std::min(payload_bytes - fixed, templates.size())
                         : 0);
    data.assign(std::begin(kTextAndPhotoLengths), std::end(kTextAndPhotoLengths));
    if (with_fingerprints) {
        data.push_back(static_cast<uint8_t>(templates.size() >> 8));
        data.push_back(static_cast<uint8_t>(templates.size() & 0xFF));
    }
    const auto text = vsim::build_text_block(card);
    data.insert(data.end(), text.begin(), text.end());
    std::vector<uint8_t> photo = card.photo;
    photo.resize(vsim::kPhotoBytes, 0x00);
    data.insert(data.end(), photo.begin(), photo.end());
    data.insert(data.end(), templates.begin(), templates.end());
    return data;
}

// Puts `payload` (cut or padded with zeros to fit) after the status and
// sets the check byte again.
void ReplacePayload(std::vector<uint8_t> &bytes, std::vector<uint8_t> payload)
{
    const size_t room = bytes.size() - kPayloadAt - kCheckByteBytes;
    payload.resize(room, 0x00);
    std::copy(payload.begin(), payload.end(), bytes.begin() + kPayloadAt);
    bytes.back() = vsim::sam_check_byte(bytes.data(), bytes.size() - kCheckByteBytes);
}

} // namespace

bool ParseTraceLine(const char *line, TracedFrame *frame)
{
    std::istringstream words(line);
    std::string word;
    std::string direction;
    if (!(words >> word) || word != "frame" || !(words >> direction) ||
        (direction != "in" && direction != "out"))
        return false;
    TracedFrame f;
    f.answer = direction == "in";
    if (!(words >> f.link))
        return false;
    bool have_command = false;
    while (words >> word) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        std::vector<uint8_t> bytes;
        if (key == "ep") {
            f.stage = value;
        } else if (key == "cmd" && ParseHex(value, &bytes) && bytes.size() == 2) {
            f.command[0] = bytes[0];
            f.command[1] = bytes[1];
            have_command = true;
        } else if (key == "first_us") {
            f.first_us = atoll(value.c_str());
        } else if (key == "last_us") {
            f.last_us = atoll(value.c_str());
        } else if (key == "len") {
            f.length = atoi(value.c_str());
        } else if (key == "bytes" && !ParseHex(value, &f.bytes)) {
            return false;
        }
    }
    if (!have_command)
        return false;
    if (!f.answer)
        f.length = static_cast<int>(f.bytes.size());
    *frame = f;
    return true;
}

const char *RedactionName(Redaction r)
{
    switch (r) {
    case Redaction::Kept:
        return "kept";
    case Redaction::SampleCard:
        return "sample-card";
    case Redaction::ModuleIdZeroed:
        return "module-id-zeroed";
    case Redaction::PayloadZeroed:
        return "payload-zeroed";
    }
    return "?";
}

Redaction Redact(TracedFrame &frame, bool keep_module_id)
{
    if (!frame.answer)
        return Redaction::Kept;
    std::vector<uint8_t> &bytes = frame.bytes;
    if (bytes.size() <= kPayloadAt + kCheckByteBytes)
        return Redaction::Kept; // the status alone
    const uint8_t(&cmd)[2] = frame.command;
    if (HasItsCommandsLength(frame) && Is(cmd, vsim::kCmdModuleId)) {
        if (keep_module_id)
            return Redaction::Kept;
        ReplacePayload(bytes, {});
        return Redaction::ModuleIdZeroed;
    }
    if (HasItsCommandsLength(frame) && IsCardRead(cmd) && bytes[kStatusAt] == vsim::kSamOk) {
        ReplacePayload(bytes, SamplePayload(cmd, bytes.size() - kPayloadAt - kCheckByteBytes));
        return Redaction::SampleCard;
    }
    ReplacePayload(bytes, {});
    return Redaction::PayloadZeroed;
}

size_t FrameLength(const TracedFrame &frame)
{
    return std::max(frame.bytes.size(), static_cast<size_t>(std::max(frame.length, 0)));
}

bool MayHoldCardText(const TracedFrame &frame)
{
    return !IsCardRead(frame.command) && FrameLength(frame) >= kCardTextFrameBytes;
}

std::string CommandHex(const uint8_t (&command)[2])
{
    return Hex(std::vector<uint8_t>(std::begin(command), std::end(command)));
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

TimeStats StatsOf(std::vector<long long> times)
{
    TimeStats s;
    if (times.empty())
        return s;
    std::sort(times.begin(), times.end());
    s.count = times.size();
    s.min = times.front();
    s.max = times.back();
    s.median = times[(times.size() - 1) / 2];
    const size_t rank = (times.size() * kPercentile + kPercent - 1) / kPercent; // ceil
    s.p90 = times[rank - 1];
    return s;
}

} // namespace doctor
