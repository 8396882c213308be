// The four command frames the library sends: their bytes, their length field
// and their check byte, judged by the virtual reader's own frame rules.
#include <gtest/gtest.h>

#include <vector>

#include "CardMain.h"
#include "virtual_reader.h"

namespace {

struct CommandFrame {
    const char *name;
    const unsigned char *frame;
    std::vector<unsigned char> expected;
};

std::vector<CommandFrame> Frames()
{
    return {
        {"SAM_M_Status",
         SAM_M_Status,
         {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x12, 0xFF, 0xEE}},
        {"SAM_Serach", SAM_Serach, {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x01, 0x22}},
        {"SAM_Select", SAM_Select, {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x02, 0x21}},
        {"SAM_ReadCard",
         SAM_ReadCard,
         {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x30, 0x01, 0x32}},
    };
}

TEST(SamFrames, HoldTheirBytesAndAValidCheckByte)
{
    for (const CommandFrame &f : Frames()) {
        SCOPED_TRACE(f.name);
        const std::vector<unsigned char> actual(f.frame, f.frame + 10);
        EXPECT_EQ(actual, f.expected);
        const int length = (f.frame[5] << 8) | f.frame[6];
        EXPECT_EQ(length, 3);
        EXPECT_EQ(7 + length, 10);
        EXPECT_EQ(f.frame[9], f.frame[5] ^ f.frame[6] ^ f.frame[7] ^ f.frame[8]);
        EXPECT_TRUE(vsim::sam_frame_valid(f.frame, 10));
    }
}

} // namespace
