// SPDX-License-Identifier: LGPL-2.1-or-later
// The capture's format on its own: what the doctor's side writes, the
// launcher's side reads back, and the statistics both take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_format.h"

namespace {

TEST(CaptureFormatTest, StatsTakeTheLowerMedianAndTheNearestRankP90)
{
    const capture_format::TimeStats s =
        capture_format::StatsOf({50, 10, 40, 20, 30, 60, 70, 80, 90, 100});
    EXPECT_EQ(10u, s.count);
    EXPECT_EQ(10, s.min);
    EXPECT_EQ(50, s.median);
    EXPECT_EQ(90, s.p90);
    EXPECT_EQ(100, s.max);
}

TEST(CaptureFormatTest, AnAnswerWrittenIsReadBackAndACommandIsNot)
{
    const std::string link = "usb";
    const std::string stage = "81+85";
    const uint8_t command[2] = {0x20, 0x01};
    const std::vector<uint8_t> bytes = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x04};
    for (const bool answer : {true, false}) {
        const std::string line = capture_format::FrameRecord({1, 5000, answer, link, stage, command,
                                                              812, 1003, 7, bytes, "kept"})
                                     .dump();
        capture_format::RecordedAnswer read;
        std::string why;
        const capture_format::Line kind = capture_format::ReadLine(line, &read, why);
        EXPECT_EQ(answer ? capture_format::Line::Answer : capture_format::Line::Other, kind)
            << line << " " << why;
        if (answer) {
            EXPECT_EQ(0x2001, read.command);
            EXPECT_EQ(812, read.first_us);
            EXPECT_EQ(bytes, read.bytes);
        }
    }
}

} // namespace
