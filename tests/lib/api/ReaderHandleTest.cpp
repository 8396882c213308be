// SPDX-License-Identifier: LGPL-2.1-or-later
// Reader handles through the test bus: locations, the reader list, two
// readers side by side, a reader lost and found again, the answer budget for
// slow modules, and a read that says nothing on standard output or error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ApiTestSupport.h"

namespace {

using apitest::kUsPerMs;

constexpr uint8_t kSecondPort = 4;

// Two readers on bus 1, at ports 1.3 and 1.4, and a device that is no reader.
class HandleTest : public testing::Test {
  protected:
    void SetUp() override
    {
        testbus::reset();
        second_.knobs().module_id[kLastIdByte] = 'B';
        testbus::Device first;
        first.reader = &first_;
        testbus::Device second;
        second.reader = &second_;
        second.address = 5;
        second.ports = {1, kSecondPort};
        testbus::set_devices({first, testsupport::RootHub(1, {1}), second});
        vessik_read_options_init(&options_);
        vessik_card_init(&card_);
    }
    void TearDown() override
    {
        for (vessik_reader *r : open_)
            vessik_reader_close(r);
        testbus::reset();
    }

    // A read on `reader` from another thread, its result into `result`;
    // given time to reach its poll before this returns.
    std::thread ReadInTheBackground(vessik_reader *reader, int *result)
    {
        std::thread reading([this, reader, result] {
            vessik_card card;
            vessik_card_init(&card);
            *result = vessik_reader_read(reader, &options_, &card);
        });
        usleep(100 * kUsPerMs);
        return reading;
    }

    vessik_reader *Open(const char *where)
    {
        vessik_reader *reader = nullptr;
        EXPECT_EQ(vessik_reader_open(where, &reader), VESSIK_OK) << where;
        if (reader != nullptr)
            open_.push_back(reader);
        return reader;
    }

    // As a hand lays a card down: the first find still sees an empty
    // reader, so the default reader's memory from other tests never holds it.
    static void Present(vsim::VirtualReader &reader)
    {
        testbus::with_lock([&] {
            reader.knobs().card_arrives_after_finds = 1;
            reader.insert_card(vsim::sample_card());
        });
    }

    static constexpr size_t kLastIdByte = vsim::kModuleIdBytes - 1;
    vsim::VirtualReader first_;
    vsim::VirtualReader second_;
    vessik_read_options options_{};
    vessik_card card_{};
    std::vector<vessik_reader *> open_;
};

TEST_F(HandleTest, LocationsThatAreNotWellFormedOrNamingNoReaderAreRefusedClearly)
{
    vessik_reader *reader = reinterpret_cast<vessik_reader *>(&card_);
    for (const char *bad : {"", "usb:", "usb:1", "usb:1-", "usb:0-1", "usb:1-2.", "usb:1-256",
                            "usb:01-2", "usb:1-1.1.1.1.1.1.1.1", "usbx", "USB", "serial:",
                            "serial:ttyS0", "serial:/dev/ttyS0@1234", "serial:/dev/ttyS0@"}) {
        EXPECT_EQ(vessik_reader_open(bad, &reader), VESSIK_E_BAD_LOCATION) << bad;
        EXPECT_EQ(reader, nullptr) << bad;
    }
    EXPECT_EQ(vessik_reader_open(nullptr, &reader), VESSIK_E_BAD_LOCATION);
    EXPECT_EQ(vessik_reader_open("usb", nullptr), VESSIK_E_BAD_ARGUMENT);
    EXPECT_EQ(vessik_reader_open("serial:/dev/no-such-port@57600", &reader), VESSIK_E_NO_READER);
    EXPECT_EQ(vessik_reader_open("usb:1-9", &reader), VESSIK_E_NO_READER);
    EXPECT_EQ(vessik_reader_open("usb:2-3", &reader), VESSIK_E_NO_READER);
    EXPECT_EQ(testbus::open_handles(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
}

TEST_F(HandleTest, ListNamesEveryReaderByItsSocketAndCountsBeyondCapacity)
{
    vessik_reader_info infos[3];
    EXPECT_EQ(vessik_reader_list(infos, 3), 2);
    EXPECT_STREQ(infos[0].location, "usb:1-1.3");
    EXPECT_STREQ(infos[1].location, "usb:1-1.4");
    EXPECT_EQ(infos[1].transport, VESSIK_TRANSPORT_USB);
    EXPECT_EQ(infos[1].vendor_id, vsim::kVendorId);
    EXPECT_EQ(infos[1].size, sizeof(vessik_reader_info));

    vessik_reader_info one;
    EXPECT_EQ(vessik_reader_list(&one, 1), 2);
    EXPECT_STREQ(one.location, "usb:1-1.3");
    EXPECT_EQ(vessik_reader_list(nullptr, 0), 2);
    EXPECT_EQ(vessik_reader_list(nullptr, 1), VESSIK_E_BAD_ARGUMENT);
    EXPECT_EQ(vessik_reader_list(infos, -1), VESSIK_E_BAD_ARGUMENT);
    EXPECT_EQ(testbus::device_lists_outstanding(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
}

TEST_F(HandleTest, ReaderOpenedByItsSocketReadsItsOwnCardAndNamesItsModule)
{
    Present(second_);
    vessik_reader *reader = Open("usb:1-1.4");
    ASSERT_NE(reader, nullptr);
    vessik_reader_info info;
    vessik_reader_info_init(&info);
    ASSERT_EQ(vessik_reader_get_info(reader, &info), VESSIK_OK);
    EXPECT_STREQ(info.location, "usb:1-1.4");
    const auto &id = second_.knobs().module_id;
    ASSERT_EQ(info.module_id_len, static_cast<int>(id.size()));
    EXPECT_EQ(memcmp(info.module_id, id.data(), id.size()), 0);
    EXPECT_EQ(std::string(info.module_id_hex).substr(2 * kLastIdByte), "42"); // 'B'

    ASSERT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK);
    EXPECT_EQ(card_.id_number, vsim::sample_card().id_number);
    EXPECT_STREQ(card_.reader, "usb:1-1.4");
    EXPECT_EQ(first_.counters().find, 0) << "the other reader was left alone";
    // The first reader is the one a bare "usb" opens.
    vessik_reader *bare = Open("usb");
    ASSERT_EQ(vessik_reader_get_info(bare, &info), VESSIK_OK);
    EXPECT_STREQ(info.location, "usb:1-1.3");
}

TEST_F(HandleTest, ReadsOnTwoReadersRunTogetherAndASecondReadOnOneIsBusy)
{
    testbus::set_fast_sleep(false);
    vessik_reader *waiting = Open("usb:1-1.3");
    vessik_reader *reading = Open("usb:1-1.4");
    ASSERT_NE(waiting, nullptr);
    ASSERT_NE(reading, nullptr);
    int waited = 0;
    std::thread other = ReadInTheBackground(waiting, &waited);
    EXPECT_EQ(vessik_reader_read(waiting, &options_, &card_), VESSIK_E_BUSY);
    Present(second_);
    EXPECT_EQ(vessik_reader_read(reading, &options_, &card_), VESSIK_OK);
    vessik_reader_cancel(waiting);
    other.join();
    EXPECT_EQ(waited, VESSIK_E_CANCELLED);
}

TEST_F(HandleTest, ReaderUnpluggedMidReadIsLostAloneAndReopensAfterReplug)
{
    testbus::set_fast_sleep(false);
    vessik_reader *lost = Open("usb:1-1.3");
    vessik_reader *kept = Open("usb:1-1.4");
    int lost_result = 0;
    std::thread other = ReadInTheBackground(lost, &lost_result);
    testbus::with_lock([&] { first_.unplug(); });
    other.join();
    EXPECT_EQ(lost_result, VESSIK_E_READER_LOST);
    Present(second_);
    EXPECT_EQ(vessik_reader_read(kept, &options_, &card_), VESSIK_OK);

    // The same socket, plugged in again: the handle opens it on its next read.
    testbus::with_lock([&] {
        first_.replug();
        first_.insert_card(vsim::sample_card());
    });
    testbus::set_fast_sleep(true);
    EXPECT_EQ(vessik_reader_read(lost, &options_, &card_), VESSIK_OK);
}

TEST_F(HandleTest, SlowModulesAreWaitedForWithinTheBudget)
{
    vessik_reader *reader = Open("usb:1-1.3");
    for (const uint64_t delay_ms : {30u, 120u, 500u}) {
        testbus::with_lock([&] {
            first_.knobs().answer_delay_us = delay_ms * kUsPerMs;
            first_.remove_card();
        });
        Present(first_);
        EXPECT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK) << delay_ms;
    }
}

TEST_F(HandleTest, ReadSaysNothingOnTheProgramsStreamsOnlyToTheLogHandler)
{
    struct Log {
        std::vector<std::string> lines;
        static void Take(int level, const char *message, void *context)
        {
            static_cast<Log *>(context)->lines.push_back(std::to_string(level) + " " + message);
        }
    } log;
    vessik_set_log_handler(VESSIK_LOG_DEBUG, Log::Take, &log);
    testsupport::OutputCapture capture;
    Present(first_);
    EXPECT_EQ(vessik_read(&options_, &card_), VESSIK_OK);
    testbus::set_devices({});
    vessik_reader *reader = nullptr;
    EXPECT_EQ(vessik_reader_open("usb", &reader), VESSIK_E_NO_READER);
    EXPECT_EQ(vessik_read(&options_, &card_), VESSIK_E_NO_READER);
    const testsupport::Output &said = capture.Finish();
    EXPECT_EQ(said.out, "");
    EXPECT_EQ(said.err, "");
    vessik_set_log_handler(0, nullptr, nullptr);

    const std::string opened = std::to_string(VESSIK_LOG_INFO) + " opened the reader at usb:1-1.3";
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), opened), log.lines.end());
    for (const std::string &line : log.lines)
        EXPECT_EQ(line.find(vsim::sample_card().id_number), std::string::npos) << line;
}

// At the trace level every frame is a line with its bytes and its answer's
// timing; the answers that carry card data have their payload masked.
TEST_F(HandleTest, TraceReportsEveryFrameAndMasksTheCard)
{
    std::vector<std::string> lines;
    vessik_set_log_handler(
        VESSIK_LOG_TRACE,
        [](int level, const char *message, void *context) {
            if (level == VESSIK_LOG_TRACE)
                static_cast<std::vector<std::string> *>(context)->push_back(message);
        },
        &lines);
    Present(first_);
    vessik_reader *reader = Open("usb:1-1.3");
    options_.want_appended_address = 1;
    ASSERT_EQ(vessik_reader_read(reader, &options_, &card_), VESSIK_OK);
    vessik_set_log_handler(0, nullptr, nullptr);

    auto count = [&](const std::string &prefix) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        });
    };
    EXPECT_EQ(count("frame out usb ep=02+06 cmd=2001 bytes=AAAAAA96690003200122"), 2);
    EXPECT_EQ(count("frame out usb ep=02+06 cmd=3001 "), 1);
    EXPECT_EQ(count("frame in usb ep=81+85 cmd=3001 "), 1);
    EXPECT_EQ(count("frame in usb ep=81+85 cmd=12FF "), 2); // at open, then once per read
    for (const std::string &line : lines) {
        if (line.find("cmd=3001") != std::string::npos && line.find("frame in") == 0) {
            EXPECT_NE(line.find(" masked=10-1294 "), std::string::npos) << line;
            EXPECT_NE(line.find(" len=1295 "), std::string::npos) << line;
            EXPECT_EQ(line.find("first_us=-1"), std::string::npos) << line;
        }
    }
    // Neither the number (as UCS-2 or as text) nor the photo shows anywhere.
    const std::string number = vsim::sample_card().id_number;
    std::string ucs2;
    for (const char c : number) {
        char hex[5];
        snprintf(hex, sizeof hex, "%02X00", static_cast<unsigned char>(c));
        ucs2 += hex;
    }
    const auto &photo = vsim::sample_card().photo;
    std::string photo_hex;
    for (size_t i = 0; i < 16; ++i) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", photo[i]);
        photo_hex += hex;
    }
    for (const std::string &line : lines) {
        EXPECT_EQ(line.find(ucs2), std::string::npos) << line;
        EXPECT_EQ(line.find(number), std::string::npos) << line;
        EXPECT_EQ(line.find(photo_hex), std::string::npos) << line;
    }
}

TEST_F(HandleTest, CloseDuringAReadCancelsItAndWaitsForIt)
{
    testbus::set_fast_sleep(false);
    vessik_reader *reader = nullptr;
    ASSERT_EQ(vessik_reader_open("usb", &reader), VESSIK_OK);
    int result = 0;
    std::thread other = ReadInTheBackground(reader, &result);
    const uint64_t started = apitest::NowUs();
    vessik_reader_close(reader);
    EXPECT_LT(apitest::NowUs() - started, 200 * kUsPerMs);
    other.join();
    EXPECT_EQ(result, VESSIK_E_CANCELLED);
    EXPECT_EQ(testbus::open_handles(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
}

} // namespace
