// SPDX-License-Identifier: LGPL-2.1-or-later
// Answer-driven reads on the test bus, whose clock is virtual: the read
// answer taken when the module has it (early, late, in pieces), a module
// that never answers, a cancel during the wait, a module silent to 30 10,
// and answers judged by their own shape.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ApiTestSupport.h"

namespace {

using apitest::ReadApiTest;

constexpr uint64_t kUsPerMs = 1000;
constexpr uint64_t kFixedWaitUs = 900000;
// How far a wait in 50 ms slices may run past the answer's ready time.
constexpr uint64_t kSliceUs = 50000;
constexpr size_t kReadBodyBytes = vsim::kReadAnswerBytes - vsim::kHeaderStageBytes;

class AnswerDrivenTest : public ReadApiTest {
  protected:
    void SetUp() override
    {
        ReadApiTest::SetUp();
        vessik_card_init(&card_);
        options_.answer_driven = 1;
        ASSERT_EQ(vessik_reader_open("usb", &handle_), VESSIK_OK);
        reader_.knobs().card_arrives_after_finds = 1;
        reader_.insert_card(vsim::sample_card_with_fingerprints());
    }
    void TearDown() override
    {
        testbus::set_in_filter(nullptr);
        vessik_reader_close(handle_);
        ReadApiTest::TearDown();
    }

    int ReadOnHandle() { return vessik_reader_read(handle_, &options_, &card_); }

    // Virtual time from the last 30 01 sent to its whole answer's last stage.
    static uint64_t ReadAnswerWaitUs()
    {
        uint64_t sent = 0;
        uint64_t answered = 0;
        size_t body = 0;
        for (const testbus::Call &c : testbus::calls()) {
            if (c.name != "libusb_bulk_transfer")
                continue;
            if (c.endpoint == vsim::kEpBodyOut && c.data.size() >= 2 &&
                c.data[0] == vsim::kCmdRead[0] && c.data[1] == vsim::kCmdRead[1]) {
                sent = c.at_us;
                body = 0;
            } else if (c.endpoint == vsim::kEpBodyIn && sent != 0 && c.transferred > 0) {
                body += static_cast<size_t>(c.transferred);
                if (body == kReadBodyBytes)
                    answered = c.at_us;
            }
        }
        return answered > sent ? answered - sent : 0;
    }

    vessik_reader *handle_ = nullptr;
};

struct ModuleCase {
    const char *name;
    bool answer_driven;
    uint64_t card_read_us;
    int pieces;
    int result;
    uint64_t wait_from_us; // the read answer's wait, from .. to
    uint64_t wait_to_us;
};

TEST_F(AnswerDrivenTest, ReadAnswerIsTakenWhenTheModuleHasItWhole)
{
    const ModuleCase cases[] = {
        {"fixed wait", false, 300 * kUsPerMs, 0, VESSIK_OK, kFixedWaitUs, kFixedWaitUs + kSliceUs},
        {"early answer", true, 300 * kUsPerMs, 0, VESSIK_OK, 300 * kUsPerMs,
         300 * kUsPerMs + kSliceUs},
        {"late answer, past the fixed wait", true, 1500 * kUsPerMs, 0, VESSIK_OK, 1500 * kUsPerMs,
         1500 * kUsPerMs + kSliceUs},
        {"answer in pieces", true, 600 * kUsPerMs, 4, VESSIK_OK, 600 * kUsPerMs,
         600 * kUsPerMs + kSliceUs},
        {"silent module", true, 60000 * kUsPerMs, 0, VESSIK_E_TIMEOUT, 0, 0},
    };
    for (const ModuleCase &c : cases) {
        SCOPED_TRACE(c.name);
        testbus::with_lock([&] {
            reader_.remove_card();
            reader_.insert_card(vsim::sample_card());
            reader_.knobs().read_delay_us = c.card_read_us;
            reader_.knobs().read_pieces = c.pieces;
            reader_.knobs().refind_after_read = true; // a read given up is asked again
        });
        const int reads_before = reader_.counters().read;
        testbus::clear_calls();
        options_.answer_driven = c.answer_driven ? 1 : 0;
        // A read that could not gather its answer would poll until the deadline.
        options_.deadline_ms = c.result == VESSIK_OK ? 5000 : 300;
        ASSERT_EQ(ReadOnHandle(), c.result);
        if (c.result != VESSIK_OK) {
            // Given up after each whole budget and asked again, never taken.
            EXPECT_GE(reader_.counters().read - reads_before, 2);
            continue;
        }
        EXPECT_STREQ(card_.id_number, vsim::sample_card().id_number.c_str());
        EXPECT_EQ(memcmp(card_.photo, vsim::sample_card().photo.data(), sizeof card_.photo), 0);
        const uint64_t waited = ReadAnswerWaitUs();
        EXPECT_GE(waited, c.wait_from_us);
        EXPECT_LE(waited, c.wait_to_us);
    }
}

TEST_F(AnswerDrivenTest, CancelDuringTheWaitEndsTheReadAtOnce)
{
    reader_.knobs().read_delay_us = 1500 * kUsPerMs;
    vessik_reader *handle = handle_;
    const vsim::VirtualReader &model = reader_;
    // The filter runs inside the bus: the first empty header stage after the
    // read command is the read's wait.
    testbus::set_in_filter([handle, &model](uint8_t ep, std::vector<uint8_t> &stage) {
        if (ep == vsim::kEpHeaderIn && stage.empty() && model.counters().read > 0)
            vessik_reader_cancel(handle);
    });
    const uint64_t started = testbus::now_us();
    EXPECT_EQ(ReadOnHandle(), VESSIK_E_CANCELLED);
    EXPECT_LT(testbus::now_us() - started, kFixedWaitUs);
}

TEST_F(AnswerDrivenTest, ModuleSilentToTheFingerprintReadIsReadWithoutThemAndRemembered)
{
    // Each pass opens a handle of its own: the memory of the silence is the handle's.
    vessik_reader_close(handle_);
    handle_ = nullptr;
    reader_.knobs().ignore_fingerprint_read = true;
    options_.want_fingerprints = 1;
    options_.deadline_ms = 3000; // a read that never gets past 30 10 ends
    for (const bool answer_driven : {false, true}) {
        SCOPED_TRACE(answer_driven ? "answer driven" : "fixed wait");
        vessik_reader *handle = nullptr;
        ASSERT_EQ(vessik_reader_open("usb", &handle), VESSIK_OK);
        options_.answer_driven = answer_driven ? 1 : 0;
        const vsim::Counters before = reader_.counters();
        for (int read = 0; read < 2; ++read) {
            testbus::with_lock([&] {
                reader_.remove_card();
                reader_.insert_card(vsim::sample_card_with_fingerprints());
            });
            ASSERT_EQ(vessik_reader_read(handle, &options_, &card_), VESSIK_OK);
            EXPECT_EQ(card_.fingerprint_state, VESSIK_ITEM_NOT_READ);
            EXPECT_STREQ(card_.id_number, vsim::sample_card().id_number.c_str());
        }
        vessik_reader_close(handle);
        // One 30 10 left unanswered, then 30 01 in the same cycle each time.
        EXPECT_EQ(reader_.counters().read_with_fingerprints - before.read_with_fingerprints, 1);
        EXPECT_EQ(reader_.counters().read - before.read, 2);
        EXPECT_EQ(reader_.counters().select - before.select, 2);
    }
}

// A 30 10 answer whose body never comes is a damaged answer, not silence:
// the module is asked again and its templates are read.
TEST_F(AnswerDrivenTest, FingerprintAnswerCutOffIsNotTakenForSilence)
{
    reader_.knobs().refind_after_read = true; // the card is found again after the cut answer
    options_.want_fingerprints = 1;
    options_.deadline_ms = 3000;
    bool cut = false;
    testbus::set_in_filter([&cut](uint8_t ep, std::vector<uint8_t> &stage) {
        constexpr size_t kTwoTemplatesBody = 2321 - 7;
        if (!cut && ep == vsim::kEpBodyIn && stage.size() == kTwoTemplatesBody) {
            stage.clear();
            cut = true;
        }
    });
    ASSERT_EQ(ReadOnHandle(), VESSIK_OK);
    EXPECT_TRUE(cut);
    EXPECT_EQ(card_.fingerprint_state, VESSIK_ITEM_PRESENT);
    EXPECT_EQ(reader_.counters().read, 0);
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
        EXPECT_EQ(ReadOnHandle(), VESSIK_E_TIMEOUT);
        EXPECT_EQ(reader_.counters().select, selects);
    }
}

} // namespace
