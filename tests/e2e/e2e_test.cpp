// SPDX-License-Identifier: LGPL-2.1-or-later
// End-to-end: a small client of the library, unmodified and with its real
// libusb-1.0, against the virtual reader of vessik-virtual-reader: reads,
// and every fault the launcher can switch on. (The demo's own tests are in
// tests/demo, the launcher's in tests/tools/virtual-reader.)
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "launcher_run.h"

namespace {

const char *const kLauncher = VESSIK_LAUNCHER;
const char *const kClient = VESSIK_E2E_CLIENT;

const std::string kSampleCardNo = "990000199003070013";
constexpr int kReadResultCard = 1;
constexpr int kReadResultNoReader = 5;

using namespace testsupport;

// --- Reads through the library ----------------------------------------------------------

// The client asked for one read under the launcher with `options`: the run,
// and the one read it reported.
::testing::AssertionResult ReadOnceUnder(const std::vector<std::string> &options, Outcome *run,
                                         Record *read)
{
    *run = Launch(options, {kClient, "read", "1"});
    const std::vector<Record> reads = Records(run->out, "read");
    if (reads.size() != 1)
        return ::testing::AssertionFailure() << reads.size() << " reads\n" << run->out << run->err;
    *read = reads[0];
    return ::testing::AssertionSuccess();
}

TEST(ClientRead, CardLaidDownAfterTwoSecondsIsRead)
{
    Outcome r;
    Record read;
    ASSERT_TRUE(ReadOnceUnder({"--no-card", "--card-after", "2"}, &r, &read));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AsInt(read, "result"), kReadResultCard);
    EXPECT_EQ(read.at("cardno"), kSampleCardNo);
    EXPECT_EQ(read.at("nation"), "汉");
    EXPECT_EQ(AsInt(read, "photo_len"), 1024);
    EXPECT_GE(AsDouble(read, "elapsed_ms"), 2000.0);
    const std::vector<Record> messages = Records(r.out, "callback");
    ASSERT_EQ(messages.size(), 2u) << r.out;
    EXPECT_EQ(messages[0].at("text"), "usb connect ok");
    EXPECT_EQ(messages[1].at("text"), "read card  successful");
}

TEST(ClientRead, ReaderMissingUnderTheLauncherGivesFive)
{
    Outcome r;
    Record read;
    ASSERT_TRUE(ReadOnceUnder({"--no-reader"}, &r, &read));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AsInt(read, "result"), kReadResultNoReader);
    EXPECT_GE(AsDouble(read, "elapsed_ms"), 1000.0); // the library's pause after a failed open
    EXPECT_NE(r.out.find("callback kind=3 text=usb connect err\n"), std::string::npos);
}

// Without the launcher (and, on a machine with no USB at all, without even a
// usbfs for libusb_init to find) the read fails the same way.
TEST(ClientRead, NoLauncherAtAllGivesFive)
{
    const Outcome r = RunToEnd({kClient, "read", "1"}, true);

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out;
    EXPECT_EQ(AsInt(reads[0], "result"), kReadResultNoReader);
    EXPECT_NE(r.out.find("callback kind=3 text=usb connect err\n"), std::string::npos);
}

TEST(ClientRead, UnplugWhilePollingGivesFiveAndTheNextReadWorksAfterReplug)
{
    const Outcome r =
        Launch({"--no-card", "--card-after", "2.5", "--unplug-after", "1", "--replug-after", "1.5"},
               {kClient, "read", "3"});

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 2u) << r.out;
    EXPECT_EQ(AsInt(reads[0], "result"), kReadResultNoReader);
    EXPECT_EQ(AsInt(reads[1], "result"), kReadResultCard);
    EXPECT_EQ(reads[1].at("cardno"), kSampleCardNo);
    EXPECT_NE(r.out.find("text=usb connect err\n"), std::string::npos);
}

TEST(ClientRead, CardFileFromTheCommandLine)
{
    const std::string path = testing::TempDir() + "e2e_card_" + std::to_string(getpid()) + ".card";
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("name = 测试二\nsex = 2\nnation = 03\nbirth = 20000229\n"
               "id_number = 990000200002290028\n",
               f);
    std::fclose(f);
    Outcome r;
    Record read;
    ASSERT_TRUE(ReadOnceUnder({"--card", path}, &r, &read));
    std::remove(path.c_str());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AsInt(read, "result"), kReadResultCard);
    EXPECT_EQ(read.at("cardno"), "990000200002290028");
    EXPECT_EQ(read.at("name"), "测试二");
    EXPECT_EQ(read.at("sex"), "2");
    EXPECT_EQ(read.at("birth"), "20000229");
}

// --- Faults reach the program through libusb --------------------------------------------
// (What the fault matrix below checks of a fault is not checked again here.)

// A header stage that runs into its timeout is discarded by libusb; the
// reader must then go on answering whole frames.
TEST(Faults, TimedOutStageIsDiscardedAndPollingRecovers)
{
    Outcome r;
    Record read;
    ASSERT_TRUE(ReadOnceUnder({"--stats", "--fault", "in-timeout=81:1"}, &r, &read));
    EXPECT_EQ(AsInt(read, "result"), kReadResultCard);
    EXPECT_EQ(read.at("cardno"), kSampleCardNo);
    EXPECT_GE(AsDouble(read, "elapsed_ms"), 900.0 + 100.0); // one 100 ms timeout on top
}

// Answers that come late complete the waiting transfer from the launcher's timer.
TEST(Faults, DelayedAnswersArriveWithinTheTimeout)
{
    Outcome r;
    Record read;
    ASSERT_TRUE(ReadOnceUnder({"--stats", "--fault", "answer-delay-us=30000"}, &r, &read));
    EXPECT_EQ(AsInt(read, "result"), kReadResultCard);
    EXPECT_GE(AsDouble(read, "elapsed_ms"), 900.0 + 3 * 30.0);
    EXPECT_EQ(StatOf(r.err, "find"), 1); // each answer was waited for, none missed
}

TEST(Faults, ReaderThatDropsOffTheBusEndsTheRead)
{
    Outcome r;
    Record read;
    ASSERT_TRUE(ReadOnceUnder({"--no-card", "--fault", "unplug-after-transfers=20"}, &r, &read));
    EXPECT_EQ(AsInt(read, "result"), kReadResultNoReader);
}

// --- The fault matrix: every fault the launcher can switch on ---------------------------

const char *const kConnectOk = "usb connect ok";
const char *const kConnectErr = "usb connect err";
const char *const kReadOk = "read card  successful";
const char *const kClaimFailed = "Cannot Claim Interface";
const char *const kWriteFailed = "Failed to write data.Enabling read/write reset";

// One fault (or a pair: a fault that keeps the card from being read, and an
// unplug that ends the polling) and how the program must come out of it.
struct FaultCase {
    const char *name;
    std::vector<std::string> options;                   // the launcher's
    std::vector<std::string> program;                   // e2e_client's mode and count
    std::vector<int> results;                           // each read's result, or the heartbeat's
    std::vector<std::string> messages;                  // status callbacks, in order
    std::vector<std::string> diagnostics;               // what the library prints, stdout or stderr
    std::vector<std::pair<std::string, long>> counters; // the reader's, at the end
};

std::vector<std::string> fault(const std::string &name_value)
{
    return {"--fault", name_value};
}

std::vector<std::string> faults(const std::string &first, const std::string &second)
{
    return {"--fault", first, "--fault", second};
}

const std::vector<std::string> kReadOnce = {"read", "1"};
const std::vector<std::string> kHeartbeat = {"heartbeat"};
const std::vector<std::string> kOkThenRead = {kConnectOk, kReadOk};
const std::vector<std::string> kOkThenErr = {kConnectOk, kConnectErr};
const std::vector<std::string> kErrOnly = {kConnectErr};

// Counters of one clean read: module id, find, select and read, 8 stages each way.
const std::vector<std::pair<std::string, long>> kOneCleanRead = {
    {"find", 1}, {"select", 1}, {"read", 1}, {"out_transfers", 8}, {"in_transfers", 8}};

// The reader refuses the claim: nothing is read or sent, and the library
// says why.
FaultCase ClaimRefused(const char *name, const std::string &fault_value,
                       std::vector<std::string> diagnostics)
{
    return {name,
            fault(fault_value),
            kReadOnce,
            {kReadResultNoReader},
            kErrOnly,
            std::move(diagnostics),
            {{"out_transfers", 0}}};
}

const FaultCase kFaultCases[] = {
    {"NoFault",
     {},
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {"Claimed Interface"},
     kOneCleanRead},
    // A select answer with bytes of the card's own is a select answer all the same.
    {"SelectNamesCard",
     fault("select-names-card"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {"Claimed Interface"},
     kOneCleanRead},
    // The second read finds the card gone for good and polls until the reader drops off.
    {"NoRefind",
     faults("no-refind", "unplug-after-transfers=40"),
     {"read-all", "2"},
     {kReadResultCard, kReadResultNoReader},
     {kConnectOk, kReadOk, kConnectOk, kConnectErr},
     {},
     {{"select", 1}, {"read", 1}}},
    // The read answer is never ready in time; the reader goes at the next poll.
    {"ReadAnswerTooLate",
     faults("read-delay-us=5000000", "unplug-after-transfers=16"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"find", 1}, {"select", 1}, {"read", 1}, {"out_transfers", 10}, {"in_transfers", 6}}},
    {"AnswersLate",
     fault("answer-delay-us=30000"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 1}, {"select", 1}, {"read", 1}}},
    // Pieces all there once the fixed wait is over leave in one transfer.
    {"ReadAnswerInPieces",
     fault("read-in-pieces=3"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 1}, {"select", 1}, {"read", 1}}},
    // The documented read never asks for fingerprints.
    {"FingerprintReadSilent",
     fault("fingerprint-read-silent"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     kOneCleanRead},
    {"FingerprintReadRefused",
     fault("fingerprint-read-refused"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     kOneCleanRead},
    ClaimRefused("ClaimBusy", "claim-fails", {kClaimFailed, "r= -6", "Device or resource busy"}),
    ClaimRefused("ClaimAccess", "claim-fails=access",
                 {kClaimFailed, "r= -99", "Permission denied"}),
    ClaimRefused("ClaimIo", "claim-fails=io", {kClaimFailed, "r= -99", "Input/output error"}),
    ClaimRefused("ClaimNotFound", "claim-fails=not-found", {kClaimFailed, "r= -5"}),
    ClaimRefused("ClaimNoDevice", "claim-fails=no-device",
                 {kClaimFailed, "r= -4", "No such device"}),
    ClaimRefused("ClaimInvalid", "claim-fails=invalid",
                 {kClaimFailed, "r= -99", "Invalid argument"}),
    // A refused configuration is logged only: the claim decides.
    {"SetConfigurationFails",
     fault("set-config-fails=io"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     kOneCleanRead},
    {"KernelDriverDetached",
     fault("kernel-driver"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {"Claimed Interface"},
     kOneCleanRead},
    {"CardShowsAfterThreeFinds",
     {"--no-card", "--card-after", "0", "--fault", "card-arrives-after-finds=3"},
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 4}, {"select", 1}, {"read", 1}}},
    // Lifted right after the find: the select fails, and so does every later find.
    {"CardLeavesAfterTheFind",
     faults("card-leaves-after-finds=1", "unplug-after-transfers=30"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"select", 1}, {"read", 0}}},
    {"TwoSelectsFail",
     fault("select-fails=2"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 3}, {"select", 3}, {"read", 1}}},
    {"EverySelectFails",
     faults("select-fails=-1", "unplug-after-transfers=30"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"read", 0}}},
    // A read answer that is short, or says the wrong length, is read again.
    {"ReadAnswerShort",
     faults("read-short=100", "unplug-after-transfers=40"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"read", 2}}},
    {"ReadAnswerWrongLength",
     faults("read-length=1000", "unplug-after-transfers=40"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"read", 2}}},
    // The library judges an answer by its status byte and length, not its
    // preamble or check byte: damaged answers still read the card.
    {"DamagedPreamble",
     fault("damage-preamble"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     kOneCleanRead},
    {"DamagedCheckByte",
     fault("damage-check"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     kOneCleanRead},
    {"BodyStageTimesOut",
     fault("in-timeout=85:2"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 2}, {"select", 1}, {"read", 1}}},
    {"EveryHeaderStageTimesOut",
     faults("in-timeout=81", "unplug-after-transfers=30"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"read", 2}}},
    {"HeaderStagePartial",
     fault("in-partial=81:2"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     kOneCleanRead},
    {"ReadBodyPartial",
     faults("in-partial=85:4", "partial-bytes=100"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 2}, {"select", 2}, {"read", 2}}},
    // A stalled write is cleared and the poll goes on.
    {"HeaderWriteStalls",
     fault("out-stall=02:3"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 2}, {"read", 1}, {"clear_halts", 1}}},
    {"BodyWriteStallsOnce",
     faults("out-stall=06:3", "stall-clears"),
     kReadOnce,
     {kReadResultCard},
     kOkThenRead,
     {},
     {{"find", 2}, {"read", 1}, {"clear_halts", 1}}},
    {"ReaderDropsOff",
     fault("unplug-after-transfers=5"),
     kReadOnce,
     {kReadResultNoReader},
     kOkThenErr,
     {},
     {{"find", 0}, {"out_transfers", 3}, {"in_transfers", 2}}},
    {"NoReader",
     {"--no-reader"},
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {"Cannot open device,Please check device..."},
     {{"out_transfers", 0}}},
    {"HeartbeatAnswered", {}, kHeartbeat, {1}, {}, {}, {{"probes", 1}}},
    {"HeartbeatSilent", fault("controller-silent"), kHeartbeat, {0}, {}, {}, {{"probes", 3}}},
    {"HeartbeatAnsweredSecond",
     fault("controller-answers-probe=2"),
     kHeartbeat,
     {1},
     {},
     {},
     {{"probes", 2}}},
    {"HeartbeatWritesStall",
     fault("mcu-write-stalls=-1"),
     kHeartbeat,
     {0},
     {},
     {kWriteFailed},
     {{"probes", 0}, {"device_resets", 3}}},
    {"HeartbeatFirstWriteStalls",
     fault("mcu-write-stalls=1"),
     kHeartbeat,
     {1},
     {},
     {kWriteFailed},
     {{"probes", 1}, {"device_resets", 1}}},
    {"SelfCheckSilentSendsRestart",
     fault("controller-silent"),
     {"self-check"},
     {},
     {},
     {},
     {{"probes", 1}, {"restarts", 1}}},
};

// Test lists show the row's name, not its bytes.
void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

class FaultMatrix : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, EndsAsExpectedAndLeavesNothingOpen)
{
    const FaultCase &c = GetParam();
    std::vector<std::string> options = {"--stats"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    std::vector<std::string> program = {kClient};
    program.insert(program.end(), c.program.begin(), c.program.end());
    const Outcome r = Launch(options, program);

    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    std::vector<int> results;
    const bool reads = c.program[0].compare(0, 4, "read") == 0;
    for (const Record &rec : Records(r.out, reads ? "read" : "heartbeat"))
        results.push_back(AsInt(rec, reads ? "result" : "rc"));
    EXPECT_EQ(results, c.results) << r.out;
    std::vector<std::string> messages;
    for (const Record &rec : Records(r.out, "callback"))
        messages.push_back(rec.at("text"));
    EXPECT_EQ(messages, c.messages) << r.out;
    for (const std::string &d : c.diagnostics)
        EXPECT_NE((r.out + r.err).find(d), std::string::npos) << d << "\n" << r.out << r.err;
    // A refused claim is reported on standard error, as perror reports.
    if (std::find(c.diagnostics.begin(), c.diagnostics.end(), kClaimFailed) !=
        c.diagnostics.end()) {
        EXPECT_NE(r.err.find(kClaimFailed), std::string::npos) << r.err;
    }
    for (const auto &counter : c.counters)
        EXPECT_EQ(StatOf(r.err, counter.first), counter.second) << counter.first << "\n" << r.err;

    // Handle, context, device node, libusb's descriptors and threads: all given back.
    const std::vector<Record> left = Records(r.out, "left");
    ASSERT_EQ(left.size(), 1u) << r.out;
    EXPECT_EQ(AsInt(left[0], "handle"), 0);
    EXPECT_EQ(AsInt(left[0], "context"), 0);
    EXPECT_EQ(AsInt(left[0], "usb_nodes"), 0);
    EXPECT_EQ(AsInt(left[0], "fds_after"), AsInt(left[0], "fds_before"));
    EXPECT_EQ(AsInt(left[0], "threads_after"), AsInt(left[0], "threads_before"));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.name);
                         });

// The matrix keeps up with the launcher: each fault its --help lists, and
// each failure a refused claim can give, has a row.
TEST(FaultMatrixCoverage, EveryFaultOfTheLauncherHasARow)
{
    const Outcome help = RunToEnd({kLauncher, "--help"});
    ASSERT_EQ(help.status, 0);
    const size_t from = help.out.find("\nFaults (--fault");
    const size_t to = help.out.find("  STATUS is one of ");
    ASSERT_NE(from, std::string::npos) << help.out;
    ASSERT_NE(to, std::string::npos) << help.out;

    auto covered = [](const std::string &prefix) {
        for (const FaultCase &c : kFaultCases)
            for (size_t i = 0; i + 1 < c.options.size(); ++i)
                if (c.options[i] == "--fault" &&
                    c.options[i + 1].compare(0, prefix.size(), prefix) == 0)
                    return true;
        return false;
    };
    auto covered_exactly = [](const std::string &name_value) {
        for (const FaultCase &c : kFaultCases)
            for (size_t i = 0; i + 1 < c.options.size(); ++i)
                if (c.options[i] == "--fault" && c.options[i + 1] == name_value)
                    return true;
        return false;
    };
    std::istringstream lines(help.out.substr(from + 1, to - from - 1));
    std::string line;
    std::getline(lines, line); // the heading
    int listed = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string usage;
        words >> usage;
        const std::string name = usage.substr(0, usage.find_first_of("=["));
        ++listed;
        EXPECT_TRUE(covered(name)) << "no row for --fault " << name;
    }
    EXPECT_GE(listed, 20);

    // "busy, access, io, not-found, no-device, invalid;" (busy is the default).
    const size_t list = to + std::strlen("  STATUS is one of ");
    std::istringstream statuses(help.out.substr(list, help.out.find(';', list) - list));
    int named = 0;
    for (std::string status; std::getline(statuses, status, ',');) {
        status.erase(0, status.find_first_not_of(' '));
        ++named;
        const bool row = covered("claim-fails=" + status) ||
                         (status == "busy" && covered_exactly("claim-fails"));
        EXPECT_TRUE(row) << "no row for claim-fails=" << status;
    }
    EXPECT_EQ(named, 6);
}

} // namespace
