// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik_read through the test bus, in time: the deadline, cancelling from
// another thread and from a signal handler, a second read while one runs, a
// card left on the reader, a reader that goes away or is not there, the
// pause between finds, and the phase times.
//
// The deadline is kept on the real monotonic clock, so the tests that time
// the read switch the bus's fast sleeps off and sleep for real.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "ApiTestSupport.h"
#include "reader.h"

namespace {

using apitest::kUsPerMs;
using apitest::NowUs;
using apitest::ReadApiTest;
using testsupport::CommandStages;
using testsupport::CountCalls;
using testsupport::ExpectBusReleased;
using testsupport::StatusRecorder;

// A cancel must end the read this fast.
constexpr uint64_t kCancelBoundUs = 200 * kUsPerMs;
// How far past its deadline a read may run.
constexpr uint64_t kDeadlineSlackUs = 150 * kUsPerMs;
// What the module needs to read a card, and the waits around the command.
constexpr unsigned kReadCardWaitsUs = 900000 + 600;
constexpr unsigned kWaitsAroundCommandUs = 2 * 100;

class PollTest : public ReadApiTest {
  protected:
    void SetUp() override
    {
        ReadApiTest::SetUp();
        testbus::set_fast_sleep(false);
    }

    // Runs `action` on another thread `after_us` from now, while the test
    // thread reads; returns when both are done.
    int ReadWhile(uint64_t after_us, const std::function<void()> &action, uint64_t *action_at_us)
    {
        std::thread other([&] {
            usleep(static_cast<useconds_t>(after_us));
            *action_at_us = NowUs();
            action();
        });
        const int rc = Read();
        returned_at_us_ = NowUs();
        other.join();
        return rc;
    }

    uint64_t returned_at_us_ = 0;
};

TEST_F(PollTest, DeadlineWithNoCardTimesOutOnTime)
{
    options_.deadline_ms = 500;
    const uint64_t started = NowUs();
    EXPECT_EQ(Read(), VESSIK_E_TIMEOUT);
    const uint64_t took = NowUs() - started;
    EXPECT_GE(took, 500 * kUsPerMs);
    EXPECT_LT(took, 500 * kUsPerMs + kDeadlineSlackUs);
    EXPECT_TRUE(apitest::Untouched(card_));
    EXPECT_EQ(StatusRecorder::Get().Tagged(), std::vector<std::string>({"3:usb connect ok"}));
    ExpectBusReleased();
}

TEST_F(PollTest, DeadlineBoundsTheWholeCallEvenWhileACardIsBeingRead)
{
    // The module takes 0.9 s to read a card; a deadline in the middle of
    // that still ends the call on time, and the card is not half written.
    Present(vsim::sample_card());
    options_.deadline_ms = 400;
    const uint64_t started = NowUs();
    EXPECT_EQ(Read(), VESSIK_E_TIMEOUT);
    EXPECT_LT(NowUs() - started, 400 * kUsPerMs + kDeadlineSlackUs);
    EXPECT_EQ(reader_.counters().read, 1);
    EXPECT_TRUE(apitest::Untouched(card_));
    ExpectBusReleased();
}

TEST_F(PollTest, CardWithinTheDeadlineIsReadWithItsPhaseTimes)
{
    Present(vsim::sample_card());
    options_.deadline_ms = 3000;
    ASSERT_EQ(Read(), VESSIK_OK);
    EXPECT_EQ(card_.id_number, vsim::sample_card().id_number);
    // Each phase took at least the waits around its command, and not much more.
    EXPECT_GE(card_.find_us, kWaitsAroundCommandUs);
    EXPECT_LT(card_.find_us, 50 * kUsPerMs);
    EXPECT_GE(card_.select_us, kWaitsAroundCommandUs);
    EXPECT_LT(card_.select_us, 50 * kUsPerMs);
    EXPECT_GE(card_.read_us, kReadCardWaitsUs);
    EXPECT_LT(card_.read_us, kReadCardWaitsUs + 200 * kUsPerMs);
    EXPECT_LT(card_.decode_us, 10 * kUsPerMs);
}

TEST_F(PollTest, CancelFromAnotherThreadEndsTheReadAndClosesTheReader)
{
    // While polling an empty reader, and while the module reads a card
    // (the read command goes out about 100 ms in, its 0.9 s wait follows).
    const struct {
        bool card;
        uint64_t cancel_after_us;
    } cases[] = {{false, 300 * kUsPerMs}, {true, 500 * kUsPerMs}};
    for (const auto &c : cases) {
        Lift();
        if (c.card)
            Present(vsim::sample_card());
        const int reads_before = reader_.counters().read;
        uint64_t cancelled_at = 0;
        EXPECT_EQ(ReadWhile(c.cancel_after_us, vessik_cancel, &cancelled_at), VESSIK_E_CANCELLED);
        EXPECT_LT(returned_at_us_ - cancelled_at, kCancelBoundUs) << "card: " << c.card;
        EXPECT_EQ(reader_.counters().read - reads_before, c.card ? 1 : 0);
        EXPECT_TRUE(apitest::Untouched(card_));
        ExpectBusReleased();
    }
}

TEST_F(PollTest, CancelWithNoReadInProgressHasNoEffect)
{
    vessik_cancel();
    testbus::set_fast_sleep(true);
    Present(vsim::sample_card());
    EXPECT_EQ(Read(), VESSIK_OK);
}

std::atomic<uint64_t> g_signal_at_us{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "stored from a signal handler");

void CancelOnSignal(int /*signal*/)
{
    g_signal_at_us.store(NowUs());
    vessik_cancel();
}

TEST_F(PollTest, CancelFromASignalHandler)
{
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = CancelOnSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 300000;
    g_signal_at_us.store(0);
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const int rc = Read();
    const uint64_t returned = NowUs();
    sigaction(SIGALRM, &previous, nullptr);

    EXPECT_EQ(rc, VESSIK_E_CANCELLED);
    ASSERT_NE(g_signal_at_us.load(), 0u);
    EXPECT_LT(returned - g_signal_at_us.load(), kCancelBoundUs);
    ExpectBusReleased();
}

TEST_F(PollTest, SecondReadWhileOneRunsIsBusyAndTouchesNothing)
{
    int first = 0;
    std::thread reading([&] { first = Read(); });
    usleep(150 * kUsPerMs);

    vessik_card other;
    memset(&other, apitest::kUntouched, sizeof other);
    const uint64_t started = NowUs();
    EXPECT_EQ(vessik_read(&options_, &other), VESSIK_E_BUSY);
    EXPECT_LT(NowUs() - started, 100 * kUsPerMs);
    EXPECT_TRUE(apitest::Untouched(other));
    EXPECT_EQ(CountCalls("libusb_init"), 1);

    vessik_cancel();
    reading.join();
    EXPECT_EQ(first, VESSIK_E_CANCELLED);

    // Once the first is over, the next read goes ahead.
    testbus::set_fast_sleep(true);
    Present(vsim::sample_card());
    EXPECT_EQ(vessik_read(&options_, &other), VESSIK_OK);
}

// A card left lying on the reader, with both kinds of reader: one that finds
// a card again after reading it (the library must hold it back) and one
// that does not until the card has left the field.
TEST_F(PollTest, CardLeftOnTheReaderIsReportedOncePerPresentation)
{
    for (const bool refind : {true, false}) {
        SCOPED_TRACE(refind ? "reader finds a read card again" : "reader does not");
        testbus::with_lock([&] { reader_.knobs().refind_after_read = refind; });
        options_.report_same_card = 0;
        options_.deadline_ms = 3000;
        Present(vsim::sample_card());
        ASSERT_EQ(Read(), VESSIK_OK);

        // Left lying: the second read times out.
        const int reads = reader_.counters().read;
        const int finds = reader_.counters().find;
        options_.deadline_ms = 1200;
        memset(&card_, apitest::kUntouched, sizeof card_);
        EXPECT_EQ(Read(), VESSIK_E_TIMEOUT);
        EXPECT_TRUE(apitest::Untouched(card_));
        EXPECT_GT(reader_.counters().find, finds);
        if (refind)
            EXPECT_GE(reader_.counters().read - reads, 1) << "read again but held back";
        else
            EXPECT_EQ(reader_.counters().read, reads) << "never found again";

        // Taken off and laid down again: a new presentation.
        Lift();
        options_.deadline_ms = 3000;
        Present(vsim::sample_card());
        EXPECT_EQ(Read(), VESSIK_OK);
        EXPECT_EQ(card_.id_number, vsim::sample_card().id_number);
        ExpectBusReleased();
    }
}

// A card lifted and laid down again while no read runs (an on-demand reader:
// one read per button press) is a new presentation once the reader went
// unwatched for longer than a back-to-back watch loop leaves it; otherwise it
// would be held back as "left lying", or, with a reader that does not find a
// read card again, stuck until lifted during a read.
TEST_F(PollTest, CardLaidDownAgainBetweenTwoReadsIsANewPresentation)
{
    for (const bool refind : {false, true}) {
        SCOPED_TRACE(refind ? "reader finds a read card again" : "reader does not");
        reader_.knobs().refind_after_read = refind;
        Present(vsim::sample_card());
        options_.deadline_ms = 3000;
        ASSERT_EQ(Read(), VESSIK_OK);

        testbus::with_lock([&] {
            reader_.remove_card(); // between the calls: no find sees it gone
            reader_.knobs().card_arrives_after_finds = 0;
            reader_.insert_card(vsim::sample_card());
        });
        // The bus fast-forwards usleep, not the monotonic clock the gap is
        // measured on: let real time pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        options_.deadline_ms = 2500;
        EXPECT_EQ(Read(), VESSIK_OK);
    }
}

// To hold back a card left lying, a reader handle remembers the last card's
// text by a keyed hash; the text itself stays nowhere in the handle.
TEST_F(PollTest, AReaderHandleKeepsNoCardTextToRecogniseTheCard)
{
    testbus::set_fast_sleep(true);
    reader_.knobs().refind_after_read = true;
    vessik_reader *handle = nullptr;
    ASSERT_EQ(vessik_reader_open("usb", &handle), VESSIK_OK);
    Present(vsim::sample_card());
    options_.deadline_ms = 3000;
    ASSERT_EQ(vessik_reader_read(handle, &options_, &card_), VESSIK_OK);

    const auto *object = reinterpret_cast<const unsigned char *>(handle);
    const unsigned char *name = card_.text_block; // the name's units come first
    constexpr size_t kNameBytes = 8;
    EXPECT_EQ(std::search(object, object + sizeof(vessik_reader), name, name + kNameBytes),
              object + sizeof(vessik_reader));
    // And the card left lying is still recognised.
    options_.deadline_ms = 600;
    EXPECT_EQ(vessik_reader_read(handle, &options_, &card_), VESSIK_E_TIMEOUT);
    vessik_reader_close(handle);
}

TEST_F(PollTest, ReportSameCardReportsACardLeftOnTheReaderAgain)
{
    testbus::set_fast_sleep(true);
    reader_.knobs().refind_after_read = true;
    Present(vsim::sample_card());
    ASSERT_EQ(Read(), VESSIK_OK);

    options_.report_same_card = 1;
    const int reads = reader_.counters().read;
    memset(&card_, apitest::kUntouched, sizeof card_);
    EXPECT_EQ(Read(), VESSIK_OK);
    EXPECT_EQ(card_.id_number, vsim::sample_card().id_number);
    EXPECT_EQ(reader_.counters().read, reads + 1); // read once, reported at once
}

TEST_F(PollTest, ReaderUnpluggedWhilePollingIsLost)
{
    uint64_t unplugged_at = 0;
    // Unplugged once the poll is under way, however slowly the read started.
    const auto unplug_while_polling = [&] {
        bool polling = false;
        while (!polling) {
            testbus::with_lock([&] { polling = reader_.counters().find > 0; });
            usleep(kUsPerMs);
        }
        testbus::with_lock([&] { reader_.unplug(); });
        unplugged_at = NowUs();
    };
    EXPECT_EQ(ReadWhile(250 * kUsPerMs, unplug_while_polling, &unplugged_at), VESSIK_E_READER_LOST);
    EXPECT_LT(returned_at_us_ - unplugged_at, kCancelBoundUs);
    EXPECT_EQ(StatusRecorder::Get().Tagged(),
              std::vector<std::string>({"3:usb connect ok", "3:usb connect err"}));
    EXPECT_TRUE(apitest::Untouched(card_));
    ExpectBusReleased();
}

TEST_F(PollTest, ReaderUnpluggedWhileTheModuleReadsTheCardIsLost)
{
    testbus::set_fast_sleep(true);
    Present(vsim::sample_card());
    // Four stages per exchange: the status query (once per read), an empty
    // find, then find, select, and the read command's two OUT stages.
    constexpr int kStagesUpToReadCommand = 4 * 4 + 2;
    reader_.knobs().unplug_after_transfers = kStagesUpToReadCommand;
    EXPECT_EQ(Read(), VESSIK_E_READER_LOST);
    EXPECT_EQ(reader_.counters().read, 1);
    EXPECT_FALSE(reader_.present());
    EXPECT_TRUE(apitest::Untouched(card_));
    ExpectBusReleased();
}

TEST_F(PollTest, NoReaderOrOneThatAnotherProgramHoldsEndsAtOnce)
{
    testbus::attach(nullptr);
    uint64_t started = NowUs();
    EXPECT_EQ(Read(), VESSIK_E_NO_READER);
    EXPECT_LT(NowUs() - started, 100 * kUsPerMs);
    EXPECT_EQ(StatusRecorder::Get().Tagged(), std::vector<std::string>({"3:usb connect err"}));
    EXPECT_TRUE(apitest::Untouched(card_));
    ExpectBusReleased();

    // Another program holds the reader.
    testbus::attach(&reader_);
    reader_.knobs().claim_error = vsim::UsbStatus::Busy;
    started = NowUs();
    EXPECT_EQ(Read(), VESSIK_E_READER_IN_USE);
    EXPECT_LT(NowUs() - started, 100 * kUsPerMs);
    ExpectBusReleased();
}

// --- The pause between finds ---------------------------------------------------

// The bus's clock at each find command the module received.
std::vector<uint64_t> FindTimes()
{
    std::vector<uint64_t> times;
    for (const testbus::Call &c : CommandStages(vsim::kCmdFind))
        times.push_back(c.at_us);
    return times;
}

TEST_F(PollTest, FindsOnAnEmptyReaderAreOneIntervalApart)
{
    // On the bus's virtual clock: every sleep counts, nothing else does. The
    // read is stopped by a cancel once the module has answered kFinds finds.
    constexpr int kFinds = 5;
    testbus::set_fast_sleep(true);
    int finds_before = 0;
    testbus::set_in_filter([&](uint8_t, std::vector<uint8_t> &) {
        if (reader_.counters().find >= finds_before + kFinds)
            vessik_cancel();
    });
    const struct {
        unsigned asked_ms;
        uint64_t expected_ms;
    } cases[] = {{100, 100}, {0, 100}, {37, 37}, {250, 250}, {2000, 2000}};
    for (const auto &c : cases) {
        int status_before = 0;
        testbus::with_lock([&] {
            finds_before = reader_.counters().find;
            status_before = reader_.counters().module_id;
        });
        testbus::clear_calls();
        options_.poll_interval_ms = c.asked_ms;
        ASSERT_EQ(Read(), VESSIK_E_CANCELLED);
        // The module's status is asked once per read, not before every find.
        EXPECT_EQ(reader_.counters().module_id - status_before, 1) << c.asked_ms;
        const std::vector<uint64_t> times = FindTimes();
        ASSERT_EQ(times.size(), static_cast<size_t>(kFinds));
        for (size_t i = 1; i < times.size(); ++i) {
            const uint64_t gap = times[i] - times[i - 1];
            // The pause, plus the fixed waits around the find.
            EXPECT_GE(gap, c.expected_ms * kUsPerMs) << c.asked_ms;
            EXPECT_LE(gap, c.expected_ms * kUsPerMs + 1000) << c.asked_ms;
        }
    }
}

TEST_F(PollTest, FindsOverOneRealSecondFollowTheInterval)
{
    const struct {
        unsigned interval_ms;
        int fewest;
        int most;
    } cases[] = {{50, 14, 21}, {250, 3, 5}};
    for (const auto &c : cases) {
        const int before = reader_.counters().find;
        options_.poll_interval_ms = c.interval_ms;
        options_.deadline_ms = 1000;
        ASSERT_EQ(Read(), VESSIK_E_TIMEOUT);
        const int finds = reader_.counters().find - before;
        EXPECT_GE(finds, c.fewest) << c.interval_ms << " ms";
        EXPECT_LE(finds, c.most) << c.interval_ms << " ms";
    }
}

TEST_F(PollTest, IntervalsBeyondSeventyMinutesDoNotWrapAround)
{
    // 4294968 ms is the first interval whose microseconds overflow 32 bits;
    // the pause must stay long (at least a minute), not shrink to 704 us.
    constexpr int kFinds = 3;
    constexpr uint64_t kAtLeastUs = 60ull * 1000 * kUsPerMs;
    testbus::set_fast_sleep(true);
    testbus::set_in_filter([&](uint8_t, std::vector<uint8_t> &) {
        if (reader_.counters().find >= kFinds)
            vessik_cancel();
    });
    options_.poll_interval_ms = 4294968u;
    ASSERT_EQ(Read(), VESSIK_E_CANCELLED);
    const std::vector<uint64_t> times = FindTimes();
    ASSERT_EQ(times.size(), static_cast<size_t>(kFinds));
    EXPECT_GE(times[1] - times[0], kAtLeastUs);
}

} // namespace
