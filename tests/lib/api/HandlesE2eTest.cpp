// SPDX-License-Identifier: LGPL-2.1-or-later
// Reader handles end to end: a client with its real libusb-1.0 against
// several virtual readers of vessik-virtual-reader, reading at once, losing
// one, waiting for slow modules, cancelling, and finding a reader held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "card.h"
#include "card_fixtures.h"
#include "child_process.h"
#include "launcher_run.h"

namespace {

const std::string kLauncher = VESSIK_LAUNCHER;
const std::string kClient = VESSIK_HANDLES_CLIENT;
const std::string kCardsDir = VSIM_CARDS_DIR;

using testsupport::Process;
using testsupport::Record;
using testsupport::Records;
using testsupport::UnderLauncher;

constexpr double kCancelLimitMs = 200;

struct ClientRun {
    int status = -1;
    std::vector<Record> reads;
    std::string out;
    std::string err;
};

ClientRun RunClient(const std::vector<std::string> &launcher_args,
                    const std::vector<std::string> &client_args)
{
    std::vector<std::string> program = {kClient};
    program.insert(program.end(), client_args.begin(), client_args.end());
    Process p;
    ClientRun run;
    if (!p.Start(UnderLauncher(kLauncher, launcher_args, program)))
        return run;
    run.status = p.Wait();
    run.out = p.out;
    run.err = p.err;
    run.reads = Records(p.out, "read");
    return run;
}

double Ms(const Record &r, const char *key)
{
    return std::atof(r.at(key).c_str());
}

TEST(HandlesE2e, TwoReadersReadAtOnceFromTwoThreadsAndSayNothing)
{
    const std::string second_card = kCardsDir + "/foreign-permanent.card";
    const ClientRun r =
        RunClient({"--readers", "2", "--card", "2:" + second_card}, {"read", "usb:1-1", "usb:1-2"});

    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.reads.size(), 2u) << r.out;
    std::vector<Record> reads = r.reads;
    std::sort(reads.begin(), reads.end(),
              [](const Record &a, const Record &b) { return a.at("where") < b.at("where"); });
    EXPECT_EQ(reads[0].at("result"), "OK") << r.out;
    EXPECT_EQ(reads[0].at("reader"), "usb:1-1");
    EXPECT_EQ(reads[0].at("id_number"), vsim::sample_card().id_number);
    EXPECT_EQ(reads[1].at("result"), "OK") << r.out;
    EXPECT_EQ(reads[1].at("reader"), "usb:1-2");
    EXPECT_EQ(reads[1].at("id_number"), testsupport::LoadCardFile(second_card).id_number);
    // Together, not one after the other: each read waits about a second
    // for the module.
    const double longest = std::max(Ms(reads[0], "elapsed_ms"), Ms(reads[1], "elapsed_ms"));
    EXPECT_LT(Ms(Records(r.out, "round").at(0), "elapsed_ms"), 1.5 * longest) << r.out;
    // Neither the library nor anything else wrote to standard error.
    EXPECT_EQ(r.err, "");
}

TEST(HandlesE2e, OneOfTwoUnpluggedMidReadLosesOnlyItsRead)
{
    const ClientRun r = RunClient({"--readers", "2", "--control"},
                                  {"--control", "500", "2:unplug", "read", "usb:1-1", "usb:1-2"});

    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("control command=2:unplug reply=ok\n"), std::string::npos) << r.out;
    ASSERT_EQ(r.reads.size(), 2u) << r.out;
    for (const Record &read : r.reads) {
        if (read.at("where") == "usb:1-2") {
            EXPECT_EQ(read.at("result"), "READER_LOST") << r.out;
        } else {
            EXPECT_EQ(read.at("result"), "OK") << r.out;
            EXPECT_EQ(read.at("reader"), "usb:1-1");
        }
    }
}

// Modules that take their time with every answer are waited for, by
// vessik_read and by a handle alike.
class SlowModule : public testing::TestWithParam<int> {};

TEST_P(SlowModule, IsReadByVessikReadAndByAHandle)
{
    const int delay_us = GetParam() * 1000;
    const ClientRun r = RunClient({"--fault", "answer-delay-us=" + std::to_string(delay_us)},
                                  {"--deadline", "10000", "series", "default", "usb:1-1"});

    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.reads.size(), 2u) << r.out;
    for (const Record &read : r.reads) {
        EXPECT_EQ(read.at("result"), "OK") << r.out;
        EXPECT_EQ(read.at("id_number"), vsim::sample_card().id_number);
    }
}

INSTANTIATE_TEST_SUITE_P(AnswerDelayMs, SlowModule, testing::Values(30, 120, 500));

TEST(HandlesE2e, CancelDuringASlowAnswerEndsWithinTheLimit)
{
    for (const char *where : {"default", "usb:1-1"}) {
        const ClientRun r = RunClient({"--fault", "answer-delay-us=500000"},
                                      {"--deadline", "5000", "cancel", where, "250"});

        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.reads.size(), 1u) << r.out;
        EXPECT_EQ(r.reads[0].at("result"), "CANCELLED") << where << "\n" << r.out;
        EXPECT_LT(Ms(r.reads[0], "cancel_latency_ms"), kCancelLimitMs) << where << "\n" << r.out;
    }
}

TEST(HandlesE2e, ModuleThatNeverAnswersEndsAtTheDeadline)
{
    const ClientRun r = RunClient({"--fault", "answer-delay-us=60000000"},
                                  {"--deadline", "1500", "series", "default", "usb:1-1"});

    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.reads.size(), 2u) << r.out;
    for (const Record &read : r.reads) {
        EXPECT_EQ(read.at("result"), "TIMEOUT") << r.out;
        EXPECT_GE(Ms(read, "read_ms"), 1500.0) << r.out;
        EXPECT_LT(Ms(read, "read_ms"), 1500.0 + kCancelLimitMs) << r.out;
    }
}

TEST(HandlesE2e, ReaderAnotherProcessHoldsIsInUse)
{
    const ClientRun r = RunClient({}, {"in-use", "usb:1-1", "usb:1-1", "usb"});

    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("held where=usb:1-1 result=OK\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("open where=usb:1-1 result=READER_IN_USE\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("open where=usb result=READER_IN_USE\n"), std::string::npos) << r.out;
}

} // namespace
