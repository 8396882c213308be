// SPDX-License-Identifier: LGPL-2.1-or-later
// Answer-driven reads on the test bus, whose clock is virtual: the read
// answer taken when the module has it (early, late, in pieces), a module
// that never answers, a cancel during the wait, a module silent to 30 10,
// and answers judged by their own shape.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ApiTestSupport.h"

namespace {

using apitest::kUsPerMs;

constexpr uint64_t kFixedWaitUs = 900000;
// How far a wait in 50 ms slices may run past the answer's ready time.
constexpr uint64_t kSliceUs = 50000;

class AnswerDrivenTest : public apitest::ReaderOnBusTest {
  protected:
    void SetUp() override
    {
        ReaderOnBusTest::SetUp();
        vessik_card_init(&card_);
        options_.answer_driven = 1;
        reader_.knobs().card_arrives_after_finds = 1;
        reader_.insert_card(vsim::sample_card_with_fingerprints());
    }
    void TearDown() override
    {
        testbus::set_in_filter(nullptr);
        ReaderOnBusTest::TearDown();
    }

    // Virtual time from the 30 01 sent to the last stage of its answer.
    static uint64_t ReadAnswerWaitUs()
    {
        uint64_t sent = 0;
        uint64_t answered = 0;
        for (const testbus::Call &c : testbus::calls()) {
            if (c.endpoint == vsim::kEpBodyOut && c.data.size() >= 2 && c.data[0] == 0x30)
                sent = c.at_us;
            else if (c.endpoint == vsim::kEpBodyIn && c.transferred > 0)
                answered = c.at_us;
        }
        return answered - sent;
    }
};

// The read answer's wait on the virtual clock: the module's time (answer
// driven) or the fixed 0.9 s, within one slice; a module beyond the whole
// budget is given up and asked again until the deadline.
TEST_F(AnswerDrivenTest, ReadAnswerIsTakenWhenTheModuleHasItWhole)
{
    const struct {
        const char *name;
        bool answer_driven;
        uint64_t card_read_ms;
        int pieces;
    } cases[] = {{"fixed wait", false, 300, 0},
                 {"early answer", true, 300, 0},
                 {"late answer", true, 1500, 0},
                 {"answer in pieces", true, 600, 4},
                 {"silent module", true, 60000, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const bool answers = c.card_read_ms < 1900;
        testbus::with_lock([&] {
            reader_.remove_card();
            reader_.insert_card(vsim::sample_card());
            reader_.knobs().read_delay_us = c.card_read_ms * kUsPerMs;
            reader_.knobs().read_pieces = c.pieces;
            reader_.knobs().refind_after_read = true; // a read given up is asked again
        });
        const int reads_before = reader_.counters().read;
        testbus::clear_calls();
        options_.answer_driven = c.answer_driven ? 1 : 0;
        options_.deadline_ms = answers ? 5000 : 300;
        ASSERT_EQ(ReadOn(), answers ? VESSIK_OK : VESSIK_E_TIMEOUT);
        if (!answers) {
            EXPECT_GE(reader_.counters().read - reads_before, 2);
            continue;
        }
        EXPECT_EQ(memcmp(card_.photo, vsim::sample_card().photo.data(), sizeof card_.photo), 0);
        const uint64_t expected = c.answer_driven ? c.card_read_ms * kUsPerMs : kFixedWaitUs;
        EXPECT_GE(ReadAnswerWaitUs(), expected);
        EXPECT_LE(ReadAnswerWaitUs(), expected + kSliceUs);
    }
}

TEST_F(AnswerDrivenTest, CancelDuringTheWaitEndsTheReadAtOnce)
{
    reader_.knobs().read_delay_us = 1500 * kUsPerMs;
    // Inside the bus: an empty header stage after the read command is its wait.
    testbus::set_in_filter([this](uint8_t ep, std::vector<uint8_t> &stage) {
        if (ep == vsim::kEpHeaderIn && stage.empty() && reader_.counters().read > 0)
            vessik_reader_cancel(handle_);
    });
    const uint64_t started = testbus::now_us();
    EXPECT_EQ(ReadOn(), VESSIK_E_CANCELLED);
    EXPECT_LT(testbus::now_us() - started, kFixedWaitUs);
}

// A module silent to 30 10 is read with 30 01 in the same cycle, once per
// handle; a 30 10 answer whose body never comes is no silence: asked again.
TEST_F(AnswerDrivenTest, FingerprintReadLeftUnansweredOrCutOff)
{
    options_.want_fingerprints = 1;
    options_.deadline_ms = 3000;
    options_.report_same_card = 1; // the card stays on the reader
    reader_.knobs().refind_after_read = true;
    for (const bool silent : {true, false}) {
        SCOPED_TRACE(silent ? "silent" : "cut off");
        reader_.knobs().ignore_fingerprint_read = silent;
        bool cut = silent;
        testbus::set_in_filter([&cut](uint8_t ep, std::vector<uint8_t> &stage) {
            if (!cut && ep == vsim::kEpBodyIn && stage.size() == 2321 - 7)
                stage.clear(), cut = true;
        });
        Reopen(); // each pass on a handle of its own
        const vsim::Counters before = reader_.counters();
        for (int read = 0; read < 2; ++read)
            ASSERT_EQ(ReadOn(), VESSIK_OK);
        EXPECT_EQ(card_.fingerprint_state, silent ? VESSIK_ITEM_NOT_READ : VESSIK_ITEM_PRESENT);
        EXPECT_EQ(reader_.counters().read - before.read, silent ? 2 : 0);
        EXPECT_EQ(reader_.counters().read_with_fingerprints - before.read_with_fingerprints,
                  silent ? 1 : 3);
    }
}

// Find answers that carry a mark of a found card but not its shape.
TEST_F(AnswerDrivenTest, FindAnswerIsJudgedByItsOwnShape)
{
    constexpr uint8_t kNoCard = 0x80;
    constexpr uint8_t kFound = 0x9F;
    // 00 08, 80 and four bytes whose check byte (offset 14) comes out 0x97.
    const std::vector<uint8_t> no_card_marked = vsim::sam_frame({0, 0, kNoCard, 0, 0, 0, 0x1F});
    const std::vector<uint8_t> found_without_payload = vsim::sam_frame({0, 0, kFound});
    ASSERT_EQ(no_card_marked[14], 0x97);
    for (const std::vector<uint8_t> &given : {no_card_marked, found_without_payload}) {
        testbus::set_in_filter([given](uint8_t ep, std::vector<uint8_t> &stage) {
            constexpr size_t kFindBody = 8;
            const bool find_header = ep == vsim::kEpHeaderIn && stage.size() == 7 &&
                                     stage[5] == 0x00 && stage[6] == kFindBody;
            const bool find_body =
                ep == vsim::kEpBodyIn && stage.size() == kFindBody && stage[2] == kFound;
            if (find_header)
                stage.assign(given.begin(), given.begin() + 7);
            else if (find_body)
                stage.assign(given.begin() + 7, given.end());
        });
        const int selects = reader_.counters().select;
        options_.deadline_ms = 300;
        EXPECT_EQ(ReadOn(), VESSIK_E_TIMEOUT);
        EXPECT_EQ(reader_.counters().select, selects);
    }
}

} // namespace
