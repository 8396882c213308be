// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame trace.
#include "frame_trace.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "answer_layout.h"
#include "diag.h"
#include "timing.h"

namespace vessik {
namespace {

constexpr int kCommandAt = frame::kPosLengthLow + 1;

void AppendHex(std::string &out, const unsigned char *bytes, int count)
{
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
}

// The answers whose payload the trace shows: those of a command whose answer
// carries nothing of the card, and only at exactly that answer's length.
// Find and select answers are not among them: nothing tells that every
// module leaves the card out of their data. What answered is judged by the
// frame, not by the command sent last: a module may answer a read after the
// library gave it up and sent the next command.
struct OpenAnswer {
    const unsigned char *command;
    int bytes;
};
constexpr OpenAnswer kOpenAnswers[] = {{frame::kCmdModuleId, answer::kModuleIdAnswerBytes}};

bool PayloadShown(const unsigned char *command, int count)
{
    if (count <= answer::kStatusAnswerBytes)
        return true; // the status and a check byte over it alone
    for (const OpenAnswer &open : kOpenAnswers) {
        if (count == open.bytes && command[0] == open.command[0] && command[1] == open.command[1])
            return true;
    }
    return false;
}

long long SinceUs(uint64_t from, uint64_t to)
{
    return from == 0 || to < from ? -1 : static_cast<long long>(to - from);
}

} // namespace

bool FrameTrace::Wanted()
{
    return diag::LogWanted(diag::kLogTrace);
}

void FrameTrace::Out(const char *stage, const unsigned char *frame, int len)
{
    sent_us_ = MonotonicUs();
    first_us_ = 0;
    if (len > kCommandAt + 1)
        memcpy(command_, frame + kCommandAt, sizeof command_);
    if (!Wanted())
        return;
    std::string line = std::string("frame out ") + link_ + " ep=" + stage + " cmd=";
    AppendHex(line, command_, sizeof command_);
    line += " bytes=";
    AppendHex(line, frame, len);
    diag::Log(diag::kLogTrace, line.c_str());
}

void FrameTrace::FirstPiece()
{
    if (first_us_ == 0)
        first_us_ = MonotonicUs();
}

void FrameTrace::In(const char *stage, const unsigned char *answer, int count)
{
    if (!Wanted())
        return;
    const uint64_t now = MonotonicUs();
    std::string line = std::string("frame in ") + link_ + " ep=" + stage + " cmd=";
    AppendHex(line, command_, sizeof command_);
    if (count <= 0) {
        line += " first_us=-1 last_us=-1 len=0 none";
        diag::Log(diag::kLogTrace, line.c_str());
        return;
    }
    char timing[96];
    snprintf(timing, sizeof timing, " first_us=%lld last_us=%lld len=%d",
             SinceUs(sent_us_, first_us_ != 0 ? first_us_ : now), SinceUs(sent_us_, now), count);
    line += timing;
    // Everything after the module's status, the check byte included (it is
    // computed over the payload), is masked unless the answer is one whose
    // payload may be shown.
    const int mask_from = answer::kPayloadOffset;
    const bool mask = !PayloadShown(command_, count);
    if (mask) {
        snprintf(timing, sizeof timing, " masked=%d-%d", mask_from, count - 1);
        line += timing;
    }
    line += " bytes=";
    AppendHex(line, answer, mask ? mask_from : count);
    if (mask) {
        constexpr size_t kHexDigitsPerByte = 2;
        line.append(kHexDigitsPerByte * static_cast<size_t>(count - mask_from), '0');
    }
    diag::Log(diag::kLogTrace, line.c_str());
}

} // namespace vessik
