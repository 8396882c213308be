// SPDX-License-Identifier: LGPL-2.1-or-later
// The whole card through the test bus: fingerprint templates (30 10), the
// appended address (30 03), a module that knows neither, answers of the wrong
// size, and a card whose type marker no layout here knows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ApiTestSupport.h"

namespace {

using apitest::ReadApiTest;

class WholeCardTest : public ReadApiTest {
  protected:
    void SetUp() override
    {
        ReadApiTest::SetUp();
        vessik_card_init(&card_);
    }

    int ReadWith(bool fingerprints, bool appended_address)
    {
        options_.want_fingerprints = fingerprints ? 1 : 0;
        options_.want_appended_address = appended_address ? 1 : 0;
        return Read();
    }

    static std::vector<uint8_t> Templates(const vsim::CardFields &card)
    {
        std::vector<uint8_t> all;
        for (const std::vector<uint8_t> &t : card.fingerprints)
            all.insert(all.end(), t.begin(), t.end());
        return all;
    }

    std::vector<uint8_t> CardTemplates() const
    {
        return std::vector<uint8_t>(card_.fingerprints,
                                    card_.fingerprints + card_.fingerprint_bytes);
    }
};

TEST_F(WholeCardTest, TemplatesOfEveryCountArriveByteForByte)
{
    for (const size_t count : {0u, 1u, 2u}) {
        vsim::CardFields card = vsim::sample_card_with_fingerprints();
        card.fingerprints.resize(count);
        Lift();
        Present(card);
        ASSERT_EQ(ReadWith(true, false), VESSIK_OK) << count;
        EXPECT_EQ(card_.fingerprint_state, count > 0 ? VESSIK_ITEM_PRESENT : VESSIK_ITEM_ABSENT);
        EXPECT_EQ(card_.fingerprint_count, static_cast<int>(count));
        EXPECT_EQ(CardTemplates(), Templates(card)) << count;
        EXPECT_EQ(card_.id_number, card.id_number);
        EXPECT_EQ(card_.appended_address_state, VESSIK_ITEM_NOT_ASKED);
    }
    EXPECT_EQ(reader_.counters().read, 0);
    EXPECT_EQ(reader_.counters().read_with_fingerprints, 3);
}

TEST_F(WholeCardTest, WithoutTheOptionsTheReadIsTheSameAsBefore)
{
    Present(vsim::sample_card_with_fingerprints());
    ASSERT_EQ(ReadWith(false, false), VESSIK_OK);
    EXPECT_EQ(reader_.counters().read, 1);
    EXPECT_EQ(reader_.counters().read_with_fingerprints, 0);
    EXPECT_EQ(reader_.counters().read_appended_address, 0);
    EXPECT_EQ(card_.fingerprint_state, VESSIK_ITEM_NOT_ASKED);
    EXPECT_EQ(card_.fingerprint_bytes, 0u);
    EXPECT_EQ(card_.appended_address[0], '\0');
}

TEST_F(WholeCardTest, AppendedAddressPresentAndAbsent)
{
    const vsim::CardFields moved = vsim::sample_card_with_fingerprints();
    Present(moved);
    ASSERT_EQ(ReadWith(false, true), VESSIK_OK);
    EXPECT_EQ(card_.appended_address_state, VESSIK_ITEM_PRESENT);
    EXPECT_EQ(card_.appended_address, moved.appended_address);
    const auto raw = vsim::build_appended_address(moved);
    ASSERT_EQ(card_.appended_address_raw_bytes, raw.size());
    EXPECT_EQ(memcmp(card_.appended_address_raw, raw.data(), raw.size()), 0);

    Lift();
    Present(vsim::sample_card());
    ASSERT_EQ(ReadWith(true, true), VESSIK_OK);
    EXPECT_EQ(card_.appended_address_state, VESSIK_ITEM_ABSENT);
    EXPECT_EQ(card_.appended_address[0], '\0');
    EXPECT_EQ(reader_.counters().read_appended_address, 2);
}

TEST_F(WholeCardTest, ModuleThatKnowsNeitherCommandStillGivesTextAndPhoto)
{
    reader_.knobs().refuse_fingerprint_read = true;
    reader_.knobs().refuse_appended_address = true;
    Present(vsim::sample_card_with_fingerprints());
    ASSERT_EQ(ReadWith(true, true), VESSIK_OK);
    EXPECT_EQ(card_.id_number, vsim::sample_card().id_number);
    EXPECT_EQ(memcmp(card_.photo, vsim::sample_card().photo.data(), sizeof card_.photo), 0);
    EXPECT_EQ(card_.fingerprint_state, VESSIK_ITEM_UNSUPPORTED);
    EXPECT_EQ(card_.appended_address_state, VESSIK_ITEM_UNSUPPORTED);
    // Each refused once (the module counts them as unknown commands), and
    // the documented read in the same cycle: one select, one read.
    EXPECT_EQ(reader_.counters().unknown_command, 2);
    EXPECT_EQ(reader_.counters().select, 1);
    EXPECT_EQ(reader_.counters().read, 1);
}

// A handle remembers a module that refused 30 10 or left it unanswered only
// while its link stays open: the reader that comes back may be another.
TEST_F(WholeCardTest, FingerprintMemoryEndsWithTheLink)
{
    options_.want_fingerprints = 1;
    options_.deadline_ms = 3000;
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "unanswered" : "refused");
        vessik_reader *handle = nullptr;
        ASSERT_EQ(vessik_reader_open("usb", &handle), VESSIK_OK);
        testbus::with_lock([&] {
            reader_.knobs().refuse_fingerprint_read = !silent;
            reader_.knobs().ignore_fingerprint_read = silent;
        });
        Lift();
        Present(vsim::sample_card_with_fingerprints());
        EXPECT_EQ(vessik_reader_read(handle, &options_, &card_), VESSIK_OK);
        EXPECT_NE(card_.fingerprint_state, VESSIK_ITEM_PRESENT);

        testbus::with_lock([&] {
            reader_.unplug();
            reader_.knobs() = vsim::Knobs{};
        });
        EXPECT_EQ(vessik_reader_read(handle, &options_, &card_), VESSIK_E_READER_LOST);
        testbus::with_lock([&] { reader_.replug(); });
        Lift();
        Present(vsim::sample_card_with_fingerprints());
        EXPECT_EQ(vessik_reader_read(handle, &options_, &card_), VESSIK_OK);
        EXPECT_EQ(card_.fingerprint_state, VESSIK_ITEM_PRESENT);
        vessik_reader_close(handle);
    }
}

TEST_F(WholeCardTest, FingerprintAnswerCutShortOrTooLongIsNoCard)
{
    options_.deadline_ms = 3000;
    for (const bool cut : {true, false}) {
        testbus::with_lock([&] {
            reader_.knobs().read_answer_body_bytes = cut ? 1500 : -1;
            reader_.knobs().read_answer_extra_bytes = cut ? 0 : 600;
        });
        Lift();
        Present(vsim::sample_card_with_fingerprints());
        EXPECT_EQ(ReadWith(true, false), VESSIK_E_TIMEOUT) << (cut ? "cut" : "too long");
        EXPECT_GE(reader_.counters().read_with_fingerprints, 1);
    }
}

TEST_F(WholeCardTest, UnknownMarkerGivesTheRawCardAndNoField)
{
    vsim::CardFields card = vsim::sample_card();
    card.marker = 'N';
    Present(card);
    ASSERT_EQ(Read(), VESSIK_OK);
    EXPECT_EQ(card_.type, VESSIK_CARD_UNKNOWN);
    EXPECT_STREQ(vessik_card_type_name(card_.type), "unknown");
    EXPECT_STREQ(card_.type_marker, "N");
    const auto block = vsim::build_text_block(card);
    EXPECT_EQ(memcmp(card_.text_block, block.data(), block.size()), 0);
    EXPECT_EQ(memcmp(card_.photo, card.photo.data(), sizeof card_.photo), 0);
    for (const char *field : {card_.name, card_.id_number, card_.birth, card_.address, card_.sex})
        EXPECT_STREQ(field, "");
    EXPECT_EQ(card_.id_check, VESSIK_ID_CHECK_NOT_APPLICABLE);
}

} // namespace
