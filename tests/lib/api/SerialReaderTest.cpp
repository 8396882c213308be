// SPDX-License-Identifier: LGPL-2.1-or-later
// Serial modules through reader handles, on pseudo-terminals against the
// model: each card type, answers in pieces, a damaged answer, line noise, a
// rate change either way, the port vanishing, cancel, two modules at once,
// exclusive opening, and the list of named ports.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial_module_host.h"
#include "vessik_read.h"

namespace {

using testsupport::NowUs;
using testsupport::SerialModuleHost;

constexpr uint64_t kUsPerMs = 1000;

class SerialReaderTest : public testing::Test {
  protected:
    void SetUp() override
    {
        vessik_read_options_init(&options_);
        options_.deadline_ms = 5000;
        vessik_card_init(&card_);
    }
    void TearDown() override
    {
        for (vessik_reader *r : open_)
            vessik_reader_close(r);
    }

    vessik_reader *Open(const std::string &where)
    {
        vessik_reader *reader = nullptr;
        EXPECT_EQ(vessik_reader_open(where.c_str(), &reader), VESSIK_OK) << where;
        if (reader != nullptr)
            open_.push_back(reader);
        return reader;
    }

    vessik_read_options options_{};
    vessik_card card_{};
    std::vector<vessik_reader *> open_;
};

TEST_F(SerialReaderTest, EveryCardTypeIsReadAndTheModuleNamed)
{
    for (const vsim::CardFields &card : {vsim::sample_card(), vsim::sample_foreign_permanent_card(),
                                         vsim::sample_hmt_permit_card()}) {
        SerialModuleHost module(&card);
        vessik_reader *reader = Open(module.where());
        ASSERT_NE(reader, nullptr);
        ASSERT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK);
        EXPECT_EQ(card_.id_number, card.id_number);
        EXPECT_EQ(card_.reader, module.where());
        vessik_reader_info info;
        vessik_reader_info_init(&info);
        ASSERT_EQ(vessik_reader_get_info(reader, &info), VESSIK_OK);
        EXPECT_EQ(info.transport, VESSIK_TRANSPORT_SERIAL);
        EXPECT_EQ(info.module_id_len, static_cast<int>(vsim::kModuleIdBytes));
        vessik_reader_close(reader);
        open_.clear();
    }
}

TEST_F(SerialReaderTest, PiecesNoiseAndADamagedAnswerAreAllOvercome)
{
    const vsim::CardFields card = vsim::sample_card();
    SerialModuleHost module(&card);
    module.With([](vsim::VirtualReader &, vsim::SerialModule &m) {
        m.knobs().piece_bytes = 64;
        m.knobs().piece_pause_us = 3000;
        m.knobs().noise_bytes = 9;
    });
    vessik_reader *reader = Open(module.where());
    // The next two answers (the status and the first find) come with a wrong
    // check byte: each is dropped, and the poll goes on to read the card.
    module.With([](vsim::VirtualReader &, vsim::SerialModule &m) { m.knobs().corrupt_checks = 2; });
    ASSERT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK);
    EXPECT_EQ(card_.id_number, card.id_number);
    EXPECT_EQ(memcmp(card_.photo, card.photo.data(), sizeof card_.photo), 0);
    int finds = 0;
    module.With([&](vsim::VirtualReader &r, vsim::SerialModule &) { finds = r.counters().find; });
    EXPECT_GE(finds, 2);
}

// The module's answer in pieces over its 300 ms, with noise before it: an
// answer-driven read gathers it whole, without the fixed 0.9 s.
TEST_F(SerialReaderTest, AnswerDrivenReadGathersAnAnswerInPieces)
{
    const vsim::CardFields card = vsim::sample_card_with_fingerprints();
    SerialModuleHost module(&card);
    module.With([](vsim::VirtualReader &r, vsim::SerialModule &m) {
        r.knobs().read_delay_us = 300 * kUsPerMs;
        r.knobs().read_pieces = 3;
        m.knobs().noise_bytes = 9;
    });
    vessik_reader *reader = Open(module.where());
    options_.answer_driven = 1;
    options_.want_fingerprints = 1;
    ASSERT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK);
    EXPECT_EQ(card_.id_number, card.id_number);
    EXPECT_EQ(card_.fingerprint_state, VESSIK_ITEM_PRESENT);
    EXPECT_EQ(memcmp(card_.photo, card.photo.data(), sizeof card_.photo), 0);
    EXPECT_LT(card_.read_us, 900 * kUsPerMs);
}

TEST_F(SerialReaderTest, RateChangeIsFollowedWhicheverRateTheModuleAcknowledgesAt)
{
    const vsim::CardFields card = vsim::sample_card();
    for (const bool at_new : {false, true}) {
        SerialModuleHost module(&card);
        module.With([&](vsim::VirtualReader &, vsim::SerialModule &m) {
            m.knobs().ack_at_new_rate = at_new;
        });
        vessik_reader *reader = Open(module.where());
        EXPECT_EQ(vessik_reader_set_rate(reader, 12345), VESSIK_E_BAD_ARGUMENT);
        ASSERT_EQ(vessik_reader_set_rate(reader, 57600), VESSIK_OK) << at_new;
        int rate = 0;
        module.With([&](vsim::VirtualReader &, vsim::SerialModule &m) { rate = m.rate(); });
        EXPECT_EQ(rate, 57600);
        ASSERT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK) << at_new;
        EXPECT_EQ(std::string(card_.reader), module.where() + "@57600");
    }
}

// What a test does to a read must come while it runs; the test bus makes
// usleep instant, so a fixed pause could come before the read starts.
void WaitUntilTheReadRuns(SerialModuleHost &module)
{
    constexpr auto kLook = std::chrono::milliseconds(10);
    for (int commands = 0; commands == 0; std::this_thread::sleep_for(kLook)) {
        module.With([&](vsim::VirtualReader &r, vsim::SerialModule &) {
            commands = r.counters().status + r.counters().find;
        });
    }
}

TEST_F(SerialReaderTest, PortThatVanishesMidReadIsLost)
{
    SerialModuleHost module; // no card: the read polls
    vessik_reader *reader = Open(module.where());
    std::thread pull([&] {
        WaitUntilTheReadRuns(module);
        module.Vanish();
    });
    EXPECT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_E_READER_LOST);
    pull.join();
}

TEST_F(SerialReaderTest, CancelEndsARead)
{
    SerialModuleHost module;
    vessik_reader *reader = Open(module.where());
    uint64_t cancelled_at = 0;
    std::thread cancel([&] {
        WaitUntilTheReadRuns(module);
        cancelled_at = NowUs();
        vessik_reader_cancel(reader);
    });
    EXPECT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_E_CANCELLED);
    const uint64_t returned = NowUs();
    cancel.join();
    EXPECT_LT(returned - cancelled_at, 200 * kUsPerMs);
}

TEST_F(SerialReaderTest, TwoModulesAreReadAtOnceAndAPortIsOpenedOnlyOnce)
{
    const vsim::CardFields first = vsim::sample_card();
    const vsim::CardFields second = vsim::sample_hmt_permit_card();
    SerialModuleHost one(&first);
    SerialModuleHost two(&second);
    vessik_reader *a = Open(one.where());
    vessik_reader *b = Open(two.where());
    vessik_reader *again = nullptr;
    EXPECT_EQ(vessik_reader_open(one.where().c_str(), &again), VESSIK_E_READER_IN_USE);

    int other = 0;
    vessik_card other_card;
    vessik_card_init(&other_card);
    std::thread t([&] { other = vessik_reader_read(b, &options_, &other_card); });
    EXPECT_EQ(vessik_reader_read(a, &options_, &card_), VESSIK_OK);
    t.join();
    EXPECT_EQ(other, VESSIK_OK);
    EXPECT_EQ(card_.id_number, first.id_number);
    EXPECT_EQ(other_card.id_number, second.id_number);
}

TEST_F(SerialReaderTest, OnlyNamedPortsAreListedAndProbedOnlyWhenAsked)
{
    SerialModuleHost module;
    unsetenv("VESSIK_SERIAL_READERS");
    unsetenv("VESSIK_SERIAL_PROBE");
    const int usb = vessik_reader_list(nullptr, 0);
    const std::string named = module.path() + ":/dev/null@57600:not-a-path";
    setenv("VESSIK_SERIAL_READERS", named.c_str(), 1);
    vessik_reader_info infos[8];
    ASSERT_EQ(vessik_reader_list(infos, 8), usb + 2);
    const vessik_reader_info &listed = infos[usb];
    EXPECT_EQ(listed.transport, VESSIK_TRANSPORT_SERIAL);
    EXPECT_EQ(listed.location, module.where());
    EXPECT_EQ(listed.module_id_len, 0);
    EXPECT_STREQ(infos[usb + 1].location, "serial:/dev/null@57600");
    int asked = 0;
    module.With(
        [&](vsim::VirtualReader &r, vsim::SerialModule &) { asked = r.counters().module_id; });
    EXPECT_EQ(asked, 0) << "nothing is sent to a port that was not probed";

    setenv("VESSIK_SERIAL_PROBE", "1", 1);
    ASSERT_EQ(vessik_reader_list(infos, 8), usb + 2);
    EXPECT_EQ(infos[usb].module_id_len, static_cast<int>(vsim::kModuleIdBytes));
    unsetenv("VESSIK_SERIAL_READERS");
    unsetenv("VESSIK_SERIAL_PROBE");
}

} // namespace
