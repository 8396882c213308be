// End-to-end: the demo and a small client, unmodified and with their real
// libusb-1.0, against the virtual reader of vessik-virtual-reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "launcher_run.h"

namespace {

const char *const kLauncher = VESSIK_LAUNCHER;
const char *const kDemo = VESSIK_DEMO;
const char *const kClient = VESSIK_E2E_CLIENT;

const std::string kSampleCardNo = "990000199003070013";
constexpr int kExitStopped = 124;
constexpr int kExitLauncherError = 125;
constexpr int kExitNotFound = 127;
constexpr double kRunLimitS = 25; // every run here ends well before this
constexpr double kStopGraceS = 4;
constexpr useconds_t kReapPollUs = 10000;
constexpr int kReadResultCard = 1;
constexpr int kReadResultNoReader = 5;
constexpr long kRssGrowthLimitKb = 2048;

using testsupport::kExitSignalBase;
using testsupport::Process;
using testsupport::Spawn;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    double wall_s = 0;
};

// How the tests start a program: a launcher asked to stop gets SIGTERM first,
// so that it removes its testbed. `bare`: without the umockdev and launcher
// variables of our own environment.
Spawn how(bool bare = false)
{
    Spawn h;
    h.stop_grace_s = kStopGraceS;
    if (bare)
        h.env_drop = {"UMOCKDEV_", "LD_PRELOAD="};
    return h;
}

Outcome run(const std::vector<std::string> &args, bool bare = false)
{
    Process p;
    Outcome r;
    if (!p.Start(args, how(bare)))
        return r;
    r.status = p.Finish(kRunLimitS);
    r.out = p.out;
    r.err = p.err;
    r.wall_s = p.Took();
    return r;
}

// vessik-virtual-reader OPTIONS -- PROGRAM...
Outcome launch(const std::vector<std::string> &options, const std::vector<std::string> &program)
{
    return run(testsupport::UnderLauncher(kLauncher, options, program));
}

using testsupport::Record;
using testsupport::Records;

int as_int(const Record &r, const char *key)
{
    return std::atoi(r.at(key).c_str());
}
double as_double(const Record &r, const char *key)
{
    return std::atof(r.at(key).c_str());
}

// "key=value" out of the launcher's --stats lines.
long stat_of(const std::string &err, const std::string &key)
{
    const size_t at = err.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atol(err.c_str() + at + key.size() + 2);
}

double stat_seconds(const std::string &err, const std::string &key)
{
    const size_t at = err.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atof(err.c_str() + at + key.size() + 2);
}

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Alive and not merely waiting to be reaped (a zombie is done).
bool running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field;
    std::string name;
    char state = 'X';
    stat >> pid_field >> name >> state;
    return stat && state != 'Z' && state != 'X';
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// --- The demo ----------------------------------------------------------------------------

TEST(DemoUnderLauncher, PrintsTheSampleCardAndItsPhotoPath)
{
    const Outcome r = launch({"--stop-after", "3"}, {kDemo});

    EXPECT_EQ(r.status, kExitStopped) << r.err;
    EXPECT_NE(r.out.find("OvIdcardCB: usb connect ok\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OvIdcardCB: read card  successful\r\n"), std::string::npos);
    EXPECT_NE(r.out.find("Usage:\tname:测试样卡\n"), std::string::npos);
    EXPECT_NE(r.out.find("\tcardno:" + kSampleCardNo + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("\taddress:虚拟省示例市模拟区测试路1号\n"), std::string::npos);
    EXPECT_NE(r.out.find("\tnation:汉\n"), std::string::npos);
    EXPECT_NE(r.out.find("\tsex:男\n"), std::string::npos);
    EXPECT_NE(r.out.find("\tbirdth :19900307\n"), std::string::npos);
    EXPECT_NE(r.out.find("\t/mnt/" + kSampleCardNo + ".jpg\n"), std::string::npos);
    EXPECT_NE(r.out.find("...\r\n"), std::string::npos); // the heartbeat kept going
}

TEST(DemoUnderLauncher, HostileIdentityNumberKeepsThePhotoPathUnderMnt)
{
    const Outcome r =
        launch({"--raw-field", "id_number=../../etc/x", "--stop-after", "3"}, {kDemo});

    ASSERT_EQ(r.status, kExitStopped) << r.err;
    // The number reached the demo as the card gave it...
    ASSERT_NE(r.out.find("\tcardno:../../etc/x"), std::string::npos) << r.out;
    // ...and the path built from it stays a plain file name in /mnt.
    const size_t at = r.out.find("\t/mnt/");
    ASSERT_NE(at, std::string::npos);
    const std::string path = r.out.substr(at + 1, r.out.find('\n', at) - at - 1);
    const std::string name = path.substr(std::strlen("/mnt/"));
    // Only digits and X survive; the rest, dots, slashes, letters and the
    // field's padding, became '_'.
    EXPECT_EQ(name, std::string(18, '_') + ".jpg");
}

// A forged card's name holds terminal controls and a line end: the demo
// shows them escaped, and its lines stay its own.
TEST(DemoUnderLauncher, CardTextReachesTheTerminalEscaped)
{
    const Outcome r =
        launch({"--raw-field", "name=A\x1b[2J\x1b[31mB\nC", "--stop-after", "3"}, {kDemo});

    ASSERT_EQ(r.status, kExitStopped) << r.err;
    EXPECT_NE(r.out.find("Usage:\tname:A\\x1b[2J\\x1b[31mB\\x0aC\n\tcardno:"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

// --- Reads through the library ----------------------------------------------------------

TEST(ClientRead, CardLaidDownAfterTwoSecondsIsRead)
{
    const Outcome r = launch({"--no-card", "--card-after", "2"}, {kClient, "read", "1"});

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultCard);
    EXPECT_EQ(reads[0].at("cardno"), kSampleCardNo);
    EXPECT_EQ(reads[0].at("nation"), "汉");
    EXPECT_EQ(as_int(reads[0], "photo_len"), 1024);
    EXPECT_GE(as_double(reads[0], "elapsed_ms"), 2000.0);
    const std::vector<Record> messages = Records(r.out, "callback");
    ASSERT_EQ(messages.size(), 2u) << r.out;
    EXPECT_EQ(messages[0].at("text"), "usb connect ok");
    EXPECT_EQ(messages[1].at("text"), "read card  successful");
}

TEST(ClientRead, ReaderMissingUnderTheLauncherGivesFive)
{
    const Outcome r = launch({"--no-reader"}, {kClient, "read", "1"});

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultNoReader);
    EXPECT_GE(as_double(reads[0], "elapsed_ms"), 1000.0); // the library's pause after a failed open
    EXPECT_NE(r.out.find("callback kind=3 text=usb connect err\n"), std::string::npos);
}

// Without the launcher (and, on a machine with no USB at all, without even a
// usbfs for libusb_init to find) the read fails the same way.
TEST(ClientRead, NoLauncherAtAllGivesFive)
{
    const Outcome r = run({kClient, "read", "1"}, true);

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultNoReader);
    EXPECT_NE(r.out.find("callback kind=3 text=usb connect err\n"), std::string::npos);
}

TEST(ClientRead, UnplugWhilePollingGivesFiveAndTheNextReadWorksAfterReplug)
{
    const Outcome r =
        launch({"--no-card", "--card-after", "2.5", "--unplug-after", "1", "--replug-after", "1.5"},
               {kClient, "read", "3"});

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 2u) << r.out;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultNoReader);
    EXPECT_EQ(as_int(reads[1], "result"), kReadResultCard);
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
    const Outcome r = launch({"--card", path}, {kClient, "read", "1"});
    std::remove(path.c_str());

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultCard);
    EXPECT_EQ(reads[0].at("cardno"), "990000200002290028");
    EXPECT_EQ(reads[0].at("name"), "测试二");
    EXPECT_EQ(reads[0].at("sex"), "2");
    EXPECT_EQ(reads[0].at("birth"), "20000229");
}

// --- Faults reach the program through libusb --------------------------------------------
// (What the fault matrix below checks of a fault is not checked again here.)

// A header stage that runs into its timeout is discarded by libusb; the
// reader must then go on answering whole frames.
TEST(Faults, TimedOutStageIsDiscardedAndPollingRecovers)
{
    const Outcome r = launch({"--stats", "--fault", "in-timeout=81:1"}, {kClient, "read", "1"});

    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out << r.err;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultCard);
    EXPECT_EQ(reads[0].at("cardno"), kSampleCardNo);
    EXPECT_GE(as_double(reads[0], "elapsed_ms"), 900.0 + 100.0); // one 100 ms timeout on top
}

// Answers that come late complete the waiting transfer from the launcher's timer.
TEST(Faults, DelayedAnswersArriveWithinTheTimeout)
{
    const Outcome r =
        launch({"--stats", "--fault", "answer-delay-us=30000"}, {kClient, "read", "1"});

    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out << r.err;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultCard);
    EXPECT_GE(as_double(reads[0], "elapsed_ms"), 900.0 + 3 * 30.0);
    EXPECT_EQ(stat_of(r.err, "find"), 1); // each answer was waited for, none missed
}

TEST(Faults, ReaderThatDropsOffTheBusEndsTheRead)
{
    const Outcome r =
        launch({"--no-card", "--fault", "unplug-after-transfers=20"}, {kClient, "read", "1"});

    const std::vector<Record> reads = Records(r.out, "read");
    ASSERT_EQ(reads.size(), 1u) << r.out << r.err;
    EXPECT_EQ(as_int(reads[0], "result"), kReadResultNoReader);
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

const FaultCase kFaultCases[] = {
    {"NoFault",
     {},
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
    {"ClaimBusy",
     fault("claim-fails"),
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {kClaimFailed, "r= -6", "Device or resource busy"},
     {{"out_transfers", 0}}},
    {"ClaimAccess",
     fault("claim-fails=access"),
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {kClaimFailed, "r= -99", "Permission denied"},
     {{"out_transfers", 0}}},
    {"ClaimIo",
     fault("claim-fails=io"),
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {kClaimFailed, "r= -99", "Input/output error"},
     {{"out_transfers", 0}}},
    {"ClaimNotFound",
     fault("claim-fails=not-found"),
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {kClaimFailed, "r= -5"},
     {{"out_transfers", 0}}},
    {"ClaimNoDevice",
     fault("claim-fails=no-device"),
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {kClaimFailed, "r= -4", "No such device"},
     {{"out_transfers", 0}}},
    {"ClaimInvalid",
     fault("claim-fails=invalid"),
     kReadOnce,
     {kReadResultNoReader},
     kErrOnly,
     {kClaimFailed, "r= -99", "Invalid argument"},
     {{"out_transfers", 0}}},
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
    const Outcome r = launch(options, program);

    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    std::vector<int> results;
    const bool reads = c.program[0].compare(0, 4, "read") == 0;
    for (const Record &rec : Records(r.out, reads ? "read" : "heartbeat"))
        results.push_back(as_int(rec, reads ? "result" : "rc"));
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
        EXPECT_EQ(stat_of(r.err, counter.first), counter.second) << counter.first << "\n" << r.err;

    // Handle, context, device node, libusb's descriptors and threads: all given back.
    const std::vector<Record> left = Records(r.out, "left");
    ASSERT_EQ(left.size(), 1u) << r.out;
    EXPECT_EQ(as_int(left[0], "handle"), 0);
    EXPECT_EQ(as_int(left[0], "context"), 0);
    EXPECT_EQ(as_int(left[0], "usb_nodes"), 0);
    EXPECT_EQ(as_int(left[0], "fds_after"), as_int(left[0], "fds_before"));
    EXPECT_EQ(as_int(left[0], "threads_after"), as_int(left[0], "threads_before"));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.name);
                         });

// The matrix keeps up with the launcher: each fault its --help lists, and
// each failure a refused claim can give, has a row.
TEST(FaultMatrixCoverage, EveryFaultOfTheLauncherHasARow)
{
    const Outcome help = run({kLauncher, "--help"});
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

// --- The emulated device ------------------------------------------------------------------

// While a transfer waits, the program must sleep in poll(): umockdev's own
// device node would have it spinning on REAPURBNDELAY instead.
TEST(Device, WaitingTransferCostsNoCpu)
{
    const Outcome r = launch({"--stats"}, {kClient, "idle-in", "1000"});

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> idle = Records(r.out, "idle_in");
    ASSERT_EQ(idle.size(), 1u) << r.out;
    EXPECT_EQ(idle[0].at("rc"), "LIBUSB_ERROR_TIMEOUT");
    EXPECT_GE(as_double(idle[0], "elapsed_ms"), 990.0);
    EXPECT_LT(as_double(idle[0], "cpu_ms"), 50.0);
    EXPECT_LT(stat_seconds(r.err, "launcher_cpu_s"), 0.3) << r.err;
    const std::vector<Record> after = Records(r.out, "after_timeout");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(as_int(after[0], "len"), 27); // the module id answer, whole
    EXPECT_EQ(after[0].at("status"), "90");
}

// Every transfer passes through reference-counted umockdev objects; one
// reference too many keeps kilobytes per poll cycle.
TEST(Device, LongPollingDoesNotGrowTheLauncher)
{
    const Outcome shorter =
        launch({"--no-card", "--stats", "--stop-after", "1"}, {kClient, "read", "1"});
    const Outcome longer =
        launch({"--no-card", "--stats", "--stop-after", "4"}, {kClient, "read", "1"});

    ASSERT_EQ(shorter.status, kExitStopped) << shorter.err;
    ASSERT_EQ(longer.status, kExitStopped) << longer.err;
    EXPECT_GT(stat_of(longer.err, "find"), stat_of(shorter.err, "find")); // it did poll on
    EXPECT_LT(stat_of(longer.err, "launcher_peak_rss_kb") -
                  stat_of(shorter.err, "launcher_peak_rss_kb"),
              kRssGrowthLimitKb)
        << shorter.err << longer.err;
}

// The kernel gives a dead process's interface back; so must the emulator.
TEST(Device, InterfaceOfAProgramThatDiedCanBeClaimedAgain)
{
    const Outcome r = launch({}, {kClient, "claim-after-crash"});

    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("child claimed=1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("claim rc=0\n"), std::string::npos) << r.out;
}

TEST(Device, FrameLogShowsEveryStage)
{
    const Outcome r = launch({"--log", "--no-card", "--card-after", "0.2"}, {kClient, "read", "1"});

    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(" OUT 02 [7] AA AA AA 96 69 00 03\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" OUT 06 [3] 30 01 32\n"), std::string::npos);
    EXPECT_NE(r.err.find(" IN 81 [7] AA AA AA 96 69 05 08\n"), std::string::npos);
    EXPECT_NE(r.err.find(" IN 85 [1288] 00 00 90 01 00 04 00"), std::string::npos);
    EXPECT_NE(r.err.find(" card laid on the reader\n"), std::string::npos);
}

// --- The launcher as a process ----------------------------------------------------------

TEST(Launcher, ExitsWithTheProgramsStatus)
{
    EXPECT_EQ(launch({}, {"/bin/sh", "-c", "exit 7"}).status, 7);
    EXPECT_EQ(launch({}, {"/bin/sh", "-c", "kill -USR1 $$"}).status, kExitSignalBase + SIGUSR1);
    EXPECT_EQ(launch({}, {"/nonexistent/program"}).status, kExitNotFound);
}

TEST(Launcher, StopAfterEndsTheProgramWithItsOwnCode)
{
    const Outcome r = launch({"--stop-after", "0.5"}, {"/bin/sleep", "20"});

    EXPECT_EQ(r.status, kExitStopped);
    EXPECT_LT(r.wall_s, 5.0);
}

TEST(Launcher, RefusesBadCommandLines)
{
    const std::vector<std::vector<std::string>> bad = {
        {kLauncher, "--fault", "no-such-fault", "--", "/bin/true"},
        {kLauncher, "--fault", "select-fails=lots", "--", "/bin/true"},
        {kLauncher, "--card-after", "soon", "--", "/bin/true"},
        {kLauncher, "--replug-after", "1", "--", "/bin/true"},
        {kLauncher, "--card", "/nonexistent.card", "--", "/bin/true"},
        {kLauncher, "--raw-field", "shoe_size=44", "--", "/bin/true"},
        {kLauncher, "--log"},
        {kLauncher, "--readers", "0", "--", "/bin/true"},
        {kLauncher, "--readers", "17", "--", "/bin/true"},
        {kLauncher, "--readers", "2", "--card", "3:/dev/null", "--", "/bin/true"},
        {kLauncher, "--fault", "0:no-refind", "--", "/bin/true"},
        {kLauncher, "--no-card=2", "--", "/bin/true"},
        {kLauncher, "--readers", "2", "--fault", "2:no-such-fault", "--", "/bin/true"},
        {kLauncher, "--readers", "2", "--replug-after", "2:1", "--", "/bin/true"},
    };
    for (const auto &args : bad) {
        const Outcome r = run(args);
        std::string line;
        for (const std::string &a : args)
            line += " " + a;
        EXPECT_EQ(r.status, kExitLauncherError) << line;
        EXPECT_NE(r.err.find("vessik-virtual-reader: "), std::string::npos) << r.err;
    }
}

TEST(Launcher, TestbedFolderIsRemovedOnExit)
{
    const Outcome r = launch({}, {"/bin/sh", "-c", "echo $UMOCKDEV_DIR"});

    ASSERT_EQ(r.status, 0);
    const std::string dir = first_line(r.out);
    ASSERT_EQ(dir.compare(0, 14, "/tmp/umockdev."), 0) << r.out;
    EXPECT_FALSE(exists(dir));
}

TEST(Launcher, TerminationIsForwardedAndTheTestbedRemoved)
{
    Process p;
    ASSERT_TRUE(
        p.Start({kLauncher, "--", "/bin/sh", "-c", "echo $UMOCKDEV_DIR; exec sleep 20"}, how()));
    ASSERT_TRUE(p.WaitForOutput("\n", 10)) << p.err;
    const std::string dir = first_line(p.out);
    ASSERT_TRUE(exists(dir)) << dir;

    p.Signal(SIGTERM);
    EXPECT_EQ(p.Finish(10), kExitSignalBase + SIGTERM);
    EXPECT_LT(p.Took(), 5.0);
    EXPECT_FALSE(exists(dir));
}

// A launcher killed outright cannot tidy up itself: its program dies with it
// and a watchdog removes the testbed.
TEST(Launcher, KilledLauncherTakesItsProgramAndTestbedAlong)
{
    Process p;
    ASSERT_TRUE(
        p.Start({kLauncher, "--", "/bin/sh", "-c", "echo $UMOCKDEV_DIR $$; exec sleep 20"}, how()));
    ASSERT_TRUE(p.WaitForOutput("\n", 10)) << p.err;
    std::istringstream line(first_line(p.out));
    std::string dir;
    pid_t program = 0;
    line >> dir >> program;
    ASSERT_TRUE(exists(dir)) << p.out;
    ASSERT_GT(program, 0);

    p.Signal(SIGKILL);
    EXPECT_EQ(p.Finish(10), kExitSignalBase + SIGKILL);
    const double end = testsupport::NowS() + kStopGraceS;
    while ((exists(dir) || running(program)) && testsupport::NowS() < end)
        usleep(kReapPollUs);
    EXPECT_FALSE(exists(dir));
    EXPECT_FALSE(running(program)) << "the program outlived its launcher";
}

} // namespace
