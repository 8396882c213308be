// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-virtual-reader itself: the emulated device as a program's libusb
// meets it (through the end-to-end client), and the launcher as a process.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "launcher_run.h"

namespace {

const char *const kLauncher = VESSIK_LAUNCHER;
const char *const kClient = VESSIK_E2E_CLIENT;

constexpr useconds_t kReapPollUs = 10000;
constexpr long kRssGrowthLimitKb = 2048;

using namespace testsupport;

// --- The emulated device ------------------------------------------------------------------

// While a transfer waits, the program must sleep in poll(): umockdev's own
// device node would have it spinning on REAPURBNDELAY instead.
TEST(Device, WaitingTransferCostsNoCpu)
{
    const Outcome r = Launch({"--stats"}, {kClient, "idle-in", "1000"});

    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Record> idle = Records(r.out, "idle_in");
    ASSERT_EQ(idle.size(), 1u) << r.out;
    EXPECT_EQ(idle[0].at("rc"), "LIBUSB_ERROR_TIMEOUT");
    EXPECT_GE(AsDouble(idle[0], "elapsed_ms"), 990.0);
    EXPECT_LT(AsDouble(idle[0], "cpu_ms"), 50.0);
    EXPECT_LT(StatSeconds(r.err, "launcher_cpu_s"), 0.3) << r.err;
    const std::vector<Record> after = Records(r.out, "after_timeout");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(AsInt(after[0], "len"), 27); // the module id answer, whole
    EXPECT_EQ(after[0].at("status"), "90");
}

// Every transfer passes through reference-counted umockdev objects; one
// reference too many keeps kilobytes per poll cycle.
TEST(Device, LongPollingDoesNotGrowTheLauncher)
{
    const Outcome shorter =
        Launch({"--no-card", "--stats", "--stop-after", "1"}, {kClient, "read", "1"});
    const Outcome longer =
        Launch({"--no-card", "--stats", "--stop-after", "4"}, {kClient, "read", "1"});

    ASSERT_EQ(shorter.status, kExitStopped) << shorter.err;
    ASSERT_EQ(longer.status, kExitStopped) << longer.err;
    EXPECT_GT(StatOf(longer.err, "find"), StatOf(shorter.err, "find")); // it did poll on
    EXPECT_LT(StatOf(longer.err, "launcher_peak_rss_kb") -
                  StatOf(shorter.err, "launcher_peak_rss_kb"),
              kRssGrowthLimitKb)
        << shorter.err << longer.err;
}

// The kernel gives a dead process's interface back; so must the emulator.
TEST(Device, InterfaceOfAProgramThatDiedCanBeClaimedAgain)
{
    const Outcome r = Launch({}, {kClient, "claim-after-crash"});

    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("child claimed=1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("claim rc=0\n"), std::string::npos) << r.out;
}

TEST(Device, FrameLogShowsEveryStage)
{
    const Outcome r = Launch({"--log", "--no-card", "--card-after", "0.2"}, {kClient, "read", "1"});

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
    EXPECT_EQ(Launch({}, {"/bin/sh", "-c", "exit 7"}).status, 7);
    EXPECT_EQ(Launch({}, {"/bin/sh", "-c", "kill -USR1 $$"}).status, kExitSignalBase + SIGUSR1);
    EXPECT_EQ(Launch({}, {"/nonexistent/program"}).status, kExitNotFound);
}

TEST(Launcher, StopAfterEndsTheProgramWithItsOwnCode)
{
    const Outcome r = Launch({"--stop-after", "0.5"}, {"/bin/sleep", "20"});

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
        const Outcome r = RunToEnd(args);
        std::string line;
        for (const std::string &a : args)
            line += " " + a;
        EXPECT_EQ(r.status, kExitLauncherError) << line;
        EXPECT_NE(r.err.find("vessik-virtual-reader: "), std::string::npos) << r.err;
    }
}

TEST(Launcher, TestbedFolderIsRemovedOnExit)
{
    const Outcome r = Launch({}, {"/bin/sh", "-c", "echo $UMOCKDEV_DIR"});

    ASSERT_EQ(r.status, 0);
    const std::string dir = FirstLine(r.out);
    ASSERT_EQ(dir.compare(0, 14, "/tmp/umockdev."), 0) << r.out;
    EXPECT_FALSE(PathExists(dir));
}

// Starts the launcher with a shell that prints `what` and then sleeps; the
// line it printed.
std::string StartSleeper(Process &p, const std::string &what)
{
    EXPECT_TRUE(p.Start({kLauncher, "--", "/bin/sh", "-c", "echo " + what + "; exec sleep 20"},
                        LauncherSpawn()));
    EXPECT_TRUE(p.WaitForOutput("\n", 10)) << p.err;
    return FirstLine(p.out);
}

TEST(Launcher, TerminationIsForwardedAndTheTestbedRemoved)
{
    Process p;
    const std::string dir = StartSleeper(p, "$UMOCKDEV_DIR");
    ASSERT_TRUE(PathExists(dir)) << dir;

    p.Signal(SIGTERM);
    EXPECT_EQ(p.Finish(10), kExitSignalBase + SIGTERM);
    EXPECT_LT(p.Took(), 5.0);
    EXPECT_FALSE(PathExists(dir));
}

// A launcher killed outright cannot tidy up itself: its program dies with it
// and a watchdog removes the testbed.
TEST(Launcher, KilledLauncherTakesItsProgramAndTestbedAlong)
{
    Process p;
    std::istringstream line(StartSleeper(p, "$UMOCKDEV_DIR $$"));
    std::string dir;
    pid_t program = 0;
    line >> dir >> program;
    ASSERT_TRUE(PathExists(dir)) << p.out;
    ASSERT_GT(program, 0);

    p.Signal(SIGKILL);
    EXPECT_EQ(p.Finish(10), kExitSignalBase + SIGKILL);
    const double end = NowS() + kLauncherStopGraceS;
    while ((PathExists(dir) || Running(program)) && NowS() < end)
        usleep(kReapPollUs);
    EXPECT_FALSE(PathExists(dir));
    EXPECT_FALSE(Running(program)) << "the program outlived its launcher";
}

} // namespace
