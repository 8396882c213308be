// SPDX-License-Identifier: LGPL-2.1-or-later
// The four command frames the library sends are the frames the virtual
// reader's model builds for those commands, and valid by its rules.
#include <gtest/gtest.h>

#include <vector>

#include "CardMain.h"
#include "model_frames.h"
#include "virtual_reader.h"

namespace {

constexpr size_t kFrameBytes = 10;

struct LibraryFrame {
    const char *name;
    const unsigned char *frame;
    std::vector<uint8_t> model;
};

TEST(SamFrames, HoldTheirBytesAndAValidCheckByte)
{
    using testsupport::CommandFrame;
    const LibraryFrame frames[] = {
        {"SAM_M_Status", SAM_M_Status, CommandFrame(vsim::kCmdModuleId)},
        {"SAM_Serach", SAM_Serach, CommandFrame(vsim::kCmdFind)},
        {"SAM_Select", SAM_Select, CommandFrame(vsim::kCmdSelect)},
        {"SAM_ReadCard", SAM_ReadCard, CommandFrame(vsim::kCmdRead)},
    };
    for (const LibraryFrame &f : frames) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(std::vector<uint8_t>(f.frame, f.frame + kFrameBytes), f.model);
        EXPECT_TRUE(vsim::sam_frame_valid(f.frame, kFrameBytes));
    }
}

} // namespace
