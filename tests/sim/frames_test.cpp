// SPDX-License-Identifier: LGPL-2.1-or-later
// SAM frames, controller frames and event frames as the virtual reader builds
// and judges them.
#include <gtest/gtest.h>

#include "sim_host.h"
#include "virtual_reader.h"

namespace {

using simtest::Bytes;

TEST(SamFrame, KnownCommandFramesAreValidAndRebuiltExactly)
{
    const struct {
        Bytes frame;
        Bytes contents;
    } known[] = {
        {simtest::kStatusQuery, {0x12, 0xFF}},
        {simtest::kFind, {0x20, 0x01}},
        {simtest::kSelect, {0x20, 0x02}},
        {simtest::kRead, {0x30, 0x01}},
    };
    for (const auto &k : known) {
        EXPECT_TRUE(vsim::sam_frame_valid(k.frame));
        EXPECT_EQ(vsim::sam_frame(k.contents), k.frame);
    }
}

TEST(SamFrame, AnyFlippedBitOrWrongLengthMakesAFrameInvalid)
{
    const Bytes good = simtest::kFind;
    for (size_t i = 0; i < good.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = good;
            bad[i] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_FALSE(vsim::sam_frame_valid(bad)) << "byte " << i << " bit " << bit;
        }
    }
    Bytes longer = good;
    longer.push_back(0x00);
    EXPECT_FALSE(vsim::sam_frame_valid(longer));
    EXPECT_FALSE(vsim::sam_frame_valid(Bytes(good.begin(), good.end() - 1)));
    EXPECT_FALSE(vsim::sam_frame_valid(Bytes(good.begin(), good.begin() + 7)));
    EXPECT_FALSE(vsim::sam_frame_valid(nullptr, 10));
}

TEST(SamFrame, LengthFieldIsBigEndianAndCoversTheCheckByte)
{
    const Bytes frame = vsim::sam_frame(Bytes(1287, 0x5A)); // as long as a read answer
    ASSERT_EQ(frame.size(), 1295u);
    EXPECT_EQ(frame[5], 0x05);
    EXPECT_EQ(frame[6], 0x08);
    // 05 ^ 08, and 0x5A an odd number of times.
    EXPECT_EQ(frame.back(), 0x05 ^ 0x08 ^ 0x5A);
    EXPECT_TRUE(vsim::sam_frame_valid(frame));
}

TEST(McuFrame, StatusFrameSplitsIntoHeaderAndNonEmptyBody)
{
    const Bytes expected = {0xAA, 0x00, 0x05, 0x00, 0x00, 0x90, 0x00, 0x95};
    EXPECT_EQ(vsim::mcu_status_frame(), expected);
    // The check rule reproduces the two frames the host sends.
    EXPECT_EQ(vsim::mcu_check_byte(simtest::kProbe.data(), 5), 0x03);
    EXPECT_EQ(vsim::mcu_check_byte(simtest::kRestart.data(), 5), 0xF3);
}

TEST(McuFrame, EventFramesMatchTheirClassPattern)
{
    // class, total length, byte 3, byte 4 (class 5: byte 2 is 0x17 instead).
    const struct {
        int frame_class;
        size_t total;
        uint8_t byte3;
        uint8_t byte4;
    } classes[] = {
        {1, 12, 0x03, 0x01}, {4, 41, 0x03, 0x02}, {3, 39, 0x03, 0x03}, {2, 25, 0x03, 0x04}};
    for (const auto &c : classes) {
        const Bytes frame = vsim::event_frame(c.frame_class, 0x07, {0x11, 0x22});
        ASSERT_EQ(frame.size(), c.total) << "class " << c.frame_class;
        EXPECT_EQ(frame[0], 0xAA);
        EXPECT_EQ(frame[1] << 8 | frame[2], static_cast<int>(c.total - 3));
        EXPECT_EQ(frame[3], c.byte3);
        EXPECT_EQ(frame[4], c.byte4);
        EXPECT_EQ(frame[6], 0x07);        // the single byte
        EXPECT_EQ(frame[7], c.total - 9); // N data bytes follow
        EXPECT_EQ(frame[8], 0x11);
        EXPECT_EQ(frame[9], 0x22);
        EXPECT_EQ(frame[10], 0x00); // short data padded
        EXPECT_EQ(frame.back(), vsim::mcu_check_byte(frame.data(), frame.size() - 1));
    }
    const Bytes class5 = vsim::event_frame(5, 0x00, {});
    ASSERT_EQ(class5.size(), 26u);
    EXPECT_EQ(class5[0], 0xAA);
    EXPECT_EQ(class5[2], 0x17);
    EXPECT_EQ(class5[3], 0x01);
}

TEST(McuFrame, EventFrameRefusesUnknownClassAndOversizedData)
{
    EXPECT_TRUE(vsim::event_frame(0, 0, {}).empty());
    EXPECT_TRUE(vsim::event_frame(6, 0, {}).empty());
    EXPECT_TRUE(vsim::event_frame(1, 0, Bytes(4, 0x01)).empty()); // class 1 carries 3
    EXPECT_EQ(vsim::event_frame(1, 0, Bytes(3, 0x01)).size(), 12u);
}

} // namespace
