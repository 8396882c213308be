// SPDX-License-Identifier: LGPL-2.1-or-later
// Version 3 of the read interface on a reader handle over the test bus:
// cancel tokens, the status callback with its context, and waiting for the
// card to be lifted on both kinds of module and both kinds of select answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ApiTestSupport.h"

namespace {

using apitest::kUsPerMs;
using apitest::NowUs;

constexpr unsigned kLongDeadlineMs = 5000;
// Long enough for a module whose select answer names no card to be read
// again to make sure of the card (every 2 s).
constexpr unsigned kLyingDeadlineMs = 2600;
constexpr uint64_t kCancelWithinUs = 200 * kUsPerMs;

vsim::CardFields OtherCard()
{
    vsim::CardFields card = vsim::sample_card();
    card.name = "张三";
    card.photo = vsim::photo_from_seed(7);
    return card;
}

class RemovalTest : public apitest::ReaderOnBusTest {
  protected:
    void SetUp() override
    {
        ReaderOnBusTest::SetUp();
        testbus::set_fast_sleep(true);
        options_.deadline_ms = kLongDeadlineMs;
    }

    void Module(bool refinds, bool select_names_card)
    {
        testbus::with_lock([&] {
            reader_.knobs().refind_after_read = refinds;
            reader_.knobs().select_names_card = select_names_card;
        });
    }
    int WaitRemoved(unsigned deadline_ms)
    {
        vessik_read_options options = options_;
        options.deadline_ms = deadline_ms;
        return vessik_reader_wait_removed(handle_, &options);
    }
    // A wait that runs into its deadline sleeps for real, so that its polls
    // come at the pace they would on a reader.
    int WaitWhileItLies(unsigned deadline_ms)
    {
        testbus::set_fast_sleep(false);
        const int result = WaitRemoved(deadline_ms);
        testbus::set_fast_sleep(true);
        return result;
    }
    // Reads `card` laid down, sees it lying there, and lifts it.
    void ReadAndLift(const vsim::CardFields &card)
    {
        Present(card);
        ASSERT_EQ(ReadOn(), VESSIK_OK);
        ASSERT_EQ(WaitWhileItLies(300), VESSIK_E_TIMEOUT);
        Lift();
        ASSERT_EQ(WaitRemoved(kLongDeadlineMs), VESSIK_OK);
    }
};

TEST_F(RemovalTest, ALiftedCardIsToldOnlyByAModuleThatFindsALyingCardAgain)
{
    Module(true, false);
    ReadAndLift(vsim::sample_card()); // lying there: a timeout; lifted: told
    const int finds = reader_.counters().find;
    EXPECT_EQ(WaitRemoved(kLongDeadlineMs), VESSIK_OK); // told already: no exchange
    EXPECT_EQ(reader_.counters().find, finds);

    // A module that does not find a card it has read until the card has
    // left: a miss says nothing, and the kit does not guess.
    Module(false, false);
    Reopen();
    Present(vsim::sample_card());
    ASSERT_EQ(ReadOn(), VESSIK_OK);
    EXPECT_EQ(WaitRemoved(kLongDeadlineMs), VESSIK_E_NOT_SUPPORTED);
}

// A card laid in the place of the one read, with no find seeing the reader
// empty in between, is a removal and then a new card; the card lying there
// is read again only where the select answer does not name it.
TEST_F(RemovalTest, ACardSwappedInIsARemovalAndReadsAreSpentOnlyWhereSelectCannotTell)
{
    for (const bool names : {true, false}) {
        SCOPED_TRACE(names ? "select answer names the card" : "select answer all zeros");
        Reopen();
        Module(true, names);
        // Two cards read: the kit learns what the select answer says.
        ReadAndLift(OtherCard());
        Present(vsim::sample_card());
        ASSERT_EQ(ReadOn(), VESSIK_OK);

        const int reads = reader_.counters().read; // the wait runs on this thread
        EXPECT_EQ(WaitWhileItLies(kLyingDeadlineMs), VESSIK_E_TIMEOUT);
        // No card data while it lies there, or read again to make sure of it.
        EXPECT_EQ(reader_.counters().read > reads, !names);

        testbus::with_lock([&] {
            reader_.remove_card();
            reader_.knobs().card_arrives_after_finds = 0;
            reader_.insert_card(OtherCard());
        });
        EXPECT_EQ(WaitRemoved(kLyingDeadlineMs), VESSIK_OK);
        memset(&card_, apitest::kUntouched, sizeof card_);
        options_.report_same_card = 0;
        ASSERT_EQ(ReadOn(), VESSIK_OK); // the new card is news
        EXPECT_STREQ(card_.name, "张三");
    }
}

TEST_F(RemovalTest, ACancelledTokenEndsReadAndWaitAtOnceUntilReset)
{
    Module(true, false);
    vessik_cancel_token *token = vessik_cancel_token_new();
    ASSERT_NE(token, nullptr);
    options_.cancel_token = token;
    Present(vsim::sample_card());
    vessik_cancel_token_cancel(token);
    testbus::clear_calls();
    EXPECT_EQ(ReadOn(), VESSIK_E_CANCELLED);
    EXPECT_EQ(vessik_reader_wait_removed(handle_, &options_), VESSIK_E_CANCELLED);
    EXPECT_TRUE(testbus::calls().empty()) << "the reader is not touched";
    EXPECT_EQ(ReadOn(), VESSIK_E_CANCELLED) << "a token stays cancelled";
    vessik_cancel_token_reset(token);
    EXPECT_EQ(ReadOn(), VESSIK_OK);
    vessik_cancel_token_free(token);
}

// Cancelled from another thread while the read, or the wait, runs.
TEST_F(RemovalTest, ATokenCancelledFromAnotherThreadEndsTheCallWithin200Ms)
{
    Module(true, false);
    Present(vsim::sample_card());
    ASSERT_EQ(ReadOn(), VESSIK_OK); // lying there for the wait
    vessik_cancel_token *token = vessik_cancel_token_new();
    options_.cancel_token = token;
    options_.deadline_ms = 0;
    for (const bool wait : {false, true}) {
        SCOPED_TRACE(wait ? "wait_removed" : "read");
        vessik_cancel_token_reset(token);
        std::atomic<uint64_t> cancelled_at{0};
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cancelled_at.store(NowUs());
            vessik_cancel_token_cancel(token);
        });
        // A read with no card to report (the one there is held back).
        const int result = wait ? vessik_reader_wait_removed(handle_, &options_) : ReadOn();
        const uint64_t ended = NowUs();
        canceller.join();
        EXPECT_EQ(result, VESSIK_E_CANCELLED);
        EXPECT_LT(ended - cancelled_at.load(), kCancelWithinUs);
    }
    vessik_cancel_token_free(token);
}

TEST_F(RemovalTest, TheStatusCallbackGetsItsContextBesideTheOldCallback)
{
    std::vector<std::string> heard; // "kind:text", as the old callback's recorder tags them
    options_.status_callback = [](int kind, const char *text, void *context) {
        static_cast<std::vector<std::string> *>(context)->push_back(std::to_string(kind) + ":" +
                                                                    text);
    };
    options_.callback_context = &heard;
    Present(vsim::sample_card());
    ASSERT_EQ(ReadOn(), VESSIK_OK);
    EXPECT_FALSE(heard.empty());
    EXPECT_EQ(heard, testsupport::StatusRecorder::Get().Tagged());
}

// A caller built against version 2 hands a shorter struct: what lies past
// its size is never read as a token or a callback.
TEST_F(RemovalTest, OptionsOfTheSecondVersionsSizeAreStillAccepted)
{
    alignas(vessik_read_options) unsigned char bytes[sizeof(vessik_read_options)];
    memset(bytes, 0xFF, sizeof bytes);
    vessik_read_options old = options_;
    old.size = VESSIK_STRUCT_END(vessik_read_options, want_appended_address);
    memcpy(bytes, &old, old.size);
    Present(vsim::sample_card());
    EXPECT_EQ(vessik_reader_read(handle_, reinterpret_cast<vessik_read_options *>(bytes), &card_),
              VESSIK_OK);
}

} // namespace
