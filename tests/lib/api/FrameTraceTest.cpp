// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame trace on its own: an answer shows its payload only at the length
// its command answers with, whatever command went out last.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answer_layout.h"
#include "card.h"
#include "diag.h"
#include "frame_trace.h"
#include "virtual_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kTemplateByte = 0x5A;

Bytes Answer(uint8_t status, const Bytes &payload)
{
    Bytes contents = {0x00, 0x00, status};
    contents.insert(contents.end(), payload.begin(), payload.end());
    return vsim::sam_frame(contents);
}

// The sample card's 30 10 answer with two templates: 2321 bytes.
Bytes ReadWithFingerprintsAnswer()
{
    const vsim::CardFields card = vsim::sample_card();
    Bytes payload = {0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
    const auto text = vsim::build_text_block(card);
    payload.insert(payload.end(), text.begin(), text.end());
    payload.insert(payload.end(), card.photo.begin(), card.photo.end());
    payload.resize(payload.size() + vessik::answer::kFingerprintTemplatesMax *
                                        vessik::answer::kFingerprintTemplateBytes,
                   kTemplateByte);
    return Answer(vsim::kSamOk, payload);
}

std::string Hex(const Bytes &bytes, size_t count)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

void KeepLine(int, const char *message, void *context)
{
    static_cast<std::vector<std::string> *>(context)->push_back(message);
}

// The trace's line for `answer` arriving after `command` went out.
std::string TracedAnswer(const uint8_t *command, const Bytes &answer)
{
    std::vector<std::string> lines;
    vessik::diag::SetLogHandler(vessik::diag::kLogTrace, KeepLine, &lines);
    vessik::FrameTrace trace("serial");
    const Bytes out = vsim::sam_frame({command[0], command[1]});
    trace.Out("serial", out.data(), static_cast<int>(out.size()));
    trace.In("serial", answer.data(), static_cast<int>(answer.size()));
    vessik::diag::SetLogHandler(0, nullptr, nullptr);
    return lines.size() == 2 ? lines[1] : "";
}

struct TraceCase {
    const char *what;
    const uint8_t *sent_last;
    Bytes answer;
    bool payload_shown;
};

TEST(FrameTraceTest, AnAnswerShowsItsPayloadOnlyAtTheLengthItsCommandAnswersWith)
{
    const Bytes module_id = Answer(vsim::kSamOk, Bytes(vessik::answer::kModuleIdBytes, 'M'));
    const TraceCase cases[] = {
        {"a 30 10 answer coming late, after a find", vsim::kCmdFind, ReadWithFingerprintsAnswer(),
         false},
        {"a 30 10 answer", vsim::kCmdReadWithFingerprints, ReadWithFingerprintsAnswer(), false},
        {"a find answer", vsim::kCmdFind, Answer(vsim::kSamFound, {1, 2, 3, 4}), false},
        {"a select answer", vsim::kCmdSelect, Answer(vsim::kSamOk, {1, 2, 3, 4, 5, 6, 7, 8}),
         false},
        {"the module's identifier", vsim::kCmdModuleId, module_id, true},
        {"the module's identifier after a find", vsim::kCmdFind, module_id, false},
        {"an identifier one byte short", vsim::kCmdModuleId,
         Answer(vsim::kSamOk, Bytes(vessik::answer::kModuleIdBytes - 1, 'M')), false},
        {"a status alone", vsim::kCmdRead, Answer(vsim::kSamNoCard, {}), true},
    };
    ASSERT_EQ(2321u, cases[0].answer.size());
    ASSERT_EQ(size_t{vessik::answer::kFindAnswerBytes}, cases[2].answer.size());
    ASSERT_EQ(size_t{vessik::answer::kSelectAnswerBytes}, cases[3].answer.size());
    for (const TraceCase &c : cases) {
        const std::string line = TracedAnswer(c.sent_last, c.answer);
        const size_t count = c.answer.size();
        const size_t shown = c.payload_shown ? count : vessik::answer::kPayloadOffset;
        const std::string bytes = Hex(c.answer, shown) + std::string(2 * (count - shown), '0');
        EXPECT_NE(std::string::npos, line.find(" len=" + std::to_string(count) + " ")) << c.what;
        EXPECT_EQ(c.payload_shown, line.find(" masked=") == std::string::npos) << c.what;
        EXPECT_EQ(bytes, line.substr(line.find(" bytes=") + 7)) << c.what;
    }
}

} // namespace
