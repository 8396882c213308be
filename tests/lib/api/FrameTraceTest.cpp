// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame trace on its own: an answer shows its payload only at the length
// its command answers with, whatever command went out last.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answer_layout.h"
#include "diag.h"
#include "frame_trace.h"
#include "virtual_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace answer = vessik::answer;

Bytes Answer(uint8_t status, size_t payload_bytes)
{
    Bytes contents = {0x00, 0x00, status};
    contents.resize(contents.size() + payload_bytes, 'N');
    return vsim::sam_frame(contents);
}

struct TraceCase {
    const char *what;
    const uint8_t *sent_last;
    Bytes answer;
    bool payload_shown;
};

TEST(FrameTraceTest, AnAnswerShowsItsPayloadOnlyAtTheLengthItsCommandAnswersWith)
{
    const size_t around = answer::kStatusAnswerBytes;
    const Bytes late_read = Answer(vsim::kSamOk, answer::kFingerprintAnswerMaxBytes - around);
    const Bytes id = Answer(vsim::kSamOk, answer::kModuleIdBytes);
    const TraceCase cases[] = {
        {"a 2321-byte 30 10 answer after a find", vsim::kCmdFind, late_read, false},
        {"a find answer", vsim::kCmdFind,
         Answer(vsim::kSamFound, answer::kFindAnswerBytes - around), false},
        {"a select answer", vsim::kCmdSelect,
         Answer(vsim::kSamOk, answer::kSelectAnswerBytes - around), false},
        {"the module's identifier", vsim::kCmdModuleId, id, true},
        {"the identifier after a find", vsim::kCmdFind, id, false},
        {"an identifier one byte short", vsim::kCmdModuleId,
         Answer(vsim::kSamOk, answer::kModuleIdBytes - 1), false},
        {"a status alone", vsim::kCmdRead, Answer(vsim::kSamNoCard, 0), true},
    };
    for (const TraceCase &c : cases) {
        std::vector<std::string> lines;
        vessik::diag::SetLogHandler(
            vessik::diag::kLogTrace,
            [](int, const char *line, void *to) {
                static_cast<decltype(lines) *>(to)->push_back(line);
            },
            &lines);
        vessik::FrameTrace trace("serial");
        const Bytes out = vsim::sam_frame({c.sent_last[0], c.sent_last[1]});
        trace.Out("serial", out.data(), static_cast<int>(out.size()));
        trace.In("serial", c.answer.data(), static_cast<int>(c.answer.size()));
        vessik::diag::SetLogHandler(0, nullptr, nullptr);

        Bytes logged = c.answer;
        if (!c.payload_shown)
            std::fill(logged.begin() + answer::kPayloadOffset, logged.end(), 0);
        std::string hex;
        for (const uint8_t b : logged)
            hex += "0123456789ABCDEF"[b >> 4] + std::string(1, "0123456789ABCDEF"[b & 0x0F]);
        ASSERT_EQ(2u, lines.size()) << c.what;
        EXPECT_EQ(c.payload_shown, lines[1].find(" masked=") == std::string::npos) << c.what;
        EXPECT_EQ(hex, lines[1].substr(lines[1].find(" bytes=") + 7)) << c.what;
    }
}

} // namespace
