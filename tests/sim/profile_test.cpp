// SPDX-License-Identifier: LGPL-2.1-or-later
// The virtual reader with a recorded reader's profile: its answer times per
// command, its answer shapes, and the card's data left the model's own.
#include <gtest/gtest.h>

#include <memory>

#include "sim_host.h"
#include "virtual_reader.h"

namespace {

using simtest::Bytes;
using simtest::kInHeader;
using simtest::kSecond;

constexpr uint64_t kT0 = 5 * kSecond;
constexpr uint64_t kSelectDelayUs = 2500;
constexpr uint64_t kReadDelayUs = 700000;

// Answers the select late and with another payload, the read at its own
// time, and tries to reshape the read too.
class RecordedReader : public vsim::AnswerProfile {
  public:
    std::optional<uint64_t> next_delay_us(const uint8_t (&command)[2]) override
    {
        if (command[0] == 0x20 && command[1] == 0x02)
            return kSelectDelayUs;
        if (command[0] == 0x30)
            return kReadDelayUs;
        return std::nullopt;
    }
    std::vector<uint8_t> shape(const uint8_t (&command)[2],
                               const std::vector<uint8_t> &own) const override
    {
        if (command[0] == 0x20 && command[1] == 0x02 && own[2] == 0x90)
            return {0x00, 0x00, 0x90, 1, 2, 3, 4, 5, 6, 7, 8};
        if (command[0] == 0x30)
            return {0x00, 0x00, 0x41};
        return own;
    }
};

TEST(ProfileTest, RecordedTimesAndShapesReplaceTheModelsButNotTheCardsData)
{
    vsim::VirtualReader reader(vsim::sample_card());
    reader.knobs().profile = std::make_shared<RecordedReader>();

    // The find keeps the model's own time and answer.
    EXPECT_EQ(simtest::exchange(reader, simtest::kFind, kT0)[9], 0x9F);

    simtest::send(reader, simtest::kSelect, kT0);
    EXPECT_EQ(reader.ready_at_us(kInHeader), kT0 + kSelectDelayUs);
    EXPECT_EQ(simtest::receive(reader, kT0 + kSelectDelayUs),
              vsim::sam_frame({0x00, 0x00, 0x90, 1, 2, 3, 4, 5, 6, 7, 8}));

    simtest::send(reader, simtest::kRead, kT0);
    EXPECT_EQ(reader.ready_at_us(kInHeader), kT0 + kReadDelayUs);
    const Bytes read = simtest::receive(reader, kT0 + kReadDelayUs);
    ASSERT_EQ(read.size(), vsim::kReadAnswerBytes);
    const auto text = vsim::build_text_block(vsim::sample_card());
    EXPECT_EQ(Bytes(read.begin() + vsim::kReadTextOffset,
                    read.begin() + vsim::kReadTextOffset + vsim::kTextBlockBytes),
              Bytes(text.begin(), text.end()));
}

} // namespace
