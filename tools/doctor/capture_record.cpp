// SPDX-License-Identifier: LGPL-2.1-or-later
// Frames of a capture: parsed from the trace, redacted, summed up.
#include "capture_record.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "capture_format.h"
#include "frame.h"
#include "substitute_card.h"

namespace doctor {
namespace {

// The module's frames as the library lays them out (answer_layout.h).
using vessik::frame::kCmdFind;
using vessik::frame::kCmdModuleId;
using vessik::frame::kCmdRead;
using vessik::frame::kCmdReadAppendedAddress;
using vessik::frame::kCmdReadWithFingerprints;
using vessik::frame::kCmdSelect;
constexpr size_t kStatusAt = vessik::answer::kPosModuleStatus; // the module's own status byte
constexpr size_t kPayloadAt = vessik::answer::kPayloadOffset;
constexpr size_t kCheckByteBytes = vessik::answer::kCheckByteBytes;

// The read answers' data after the status: the text and photo lengths.
constexpr uint8_t kTextAndPhotoLengths[4] = {0x01, 0x00, 0x04, 0x00};

// The whole answers that carry a payload, by command: a module's identifier,
// a found card's and a selected card's numbers, the two reads of the card
// (30 10 with 0, 1 or 2 templates) and the appended address.
constexpr size_t kReadWithFingerprintsBaseBytes =
    vessik::answer::kFingerprintTemplatesOffset + kCheckByteBytes;
constexpr size_t kAppendedAddressAnswerBytes = kPayloadAt + kAppendedAddressBytes + kCheckByteBytes;
struct AnswerLength {
    const uint8_t (&command)[2];
    size_t bytes;
};
const AnswerLength kAnswerLengths[] = {
    {kCmdModuleId, vessik::answer::kModuleIdAnswerBytes},
    {kCmdFind, vessik::answer::kFindAnswerBytes},
    {kCmdSelect, vessik::answer::kSelectAnswerBytes},
    {kCmdRead, vessik::answer::kReadAnswerBytes},
    {kCmdReadWithFingerprints, kReadWithFingerprintsBaseBytes},
    {kCmdReadWithFingerprints, kReadWithFingerprintsBaseBytes + kTemplateBytes},
    {kCmdReadWithFingerprints, kReadWithFingerprintsBaseBytes + 2 * kTemplateBytes},
    {kCmdReadAppendedAddress, kAppendedAddressAnswerBytes},
};

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
    return Is(command, kCmdRead) || Is(command, kCmdReadWithFingerprints) ||
           Is(command, kCmdReadAppendedAddress);
}

// The substitute card's data for an answer to `command`, after the status.
std::vector<uint8_t> SamplePayload(const uint8_t (&command)[2], size_t payload_bytes)
{
    std::vector<uint8_t> data;
    if (Is(command, kCmdReadAppendedAddress)) {
        const auto address = SubstituteAppendedAddress();
        data.assign(address.begin(), address.end());
        return data;
    }
    const bool with_fingerprints = Is(command, kCmdReadWithFingerprints);
    std::vector<uint8_t> templates = SubstituteTemplates();
    // As many template bytes as the real answer carried, from the sample's.
    const size_t fixed =
        sizeof kTextAndPhotoLengths + (with_fingerprints ? 2 : 0) + kTextBlockBytes + kPhotoBytes;
    templates.resize(with_fingerprints && payload_bytes > fixed
                         ? std::min(payload_bytes - fixed, templates.size())
                         : 0);
    data.assign(std::begin(kTextAndPhotoLengths), std::end(kTextAndPhotoLengths));
    if (with_fingerprints) {
        data.push_back(static_cast<uint8_t>(templates.size() >> 8));
        data.push_back(static_cast<uint8_t>(templates.size() & 0xFF));
    }
    const auto text = SubstituteTextBlock();
    data.insert(data.end(), text.begin(), text.end());
    const std::vector<uint8_t> photo = SubstitutePhoto();
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
    bytes.back() = vessik::frame::CheckByte(bytes.data(), static_cast<int>(bytes.size()));
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
        } else if (key == "cmd" && capture_format::ParseHex(value, &bytes) && bytes.size() == 2) {
            f.command[0] = bytes[0];
            f.command[1] = bytes[1];
            have_command = true;
        } else if (key == "first_us") {
            f.first_us = atoll(value.c_str());
        } else if (key == "last_us") {
            f.last_us = atoll(value.c_str());
        } else if (key == "len") {
            f.length = atoi(value.c_str());
        } else if (key == "bytes" && !capture_format::ParseHex(value, &f.bytes)) {
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
    if (HasItsCommandsLength(frame) && Is(cmd, kCmdModuleId)) {
        if (keep_module_id)
            return Redaction::Kept;
        ReplacePayload(bytes, {});
        return Redaction::ModuleIdZeroed;
    }
    if (HasItsCommandsLength(frame) && IsCardRead(cmd) &&
        bytes[kStatusAt] == vessik::answer::kStatusSuccess) {
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

} // namespace doctor
