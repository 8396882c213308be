// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor against the virtual reader and without one: its verdict and
// exit status for a usable reader, a held or busy interface, a device node
// the user may not open, no reader at all; and which photo decoder it names.
#include <gtest/gtest.h>

#include "as_nobody.h"
#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kLauncher = VESSIK_LAUNCHER;
const std::string kDoctor = VESSIK_DOCTOR;
const std::string kStandin = VESSIK_STANDIN_DECODER;
const std::string kTestDecoder = VESSIK_TEST_DECODER;                // named libwltdec64.so
const std::string kTestPreloadDecoder = VESSIK_TEST_PRELOAD_DECODER; // a name of its own

constexpr int kExitReady = 0;
constexpr int kExitNoReader = 1;
constexpr int kExitNotUsable = 2;
constexpr int kExitUsage = 3;
constexpr double kRunLimitS = 25; // the launcher stops the doctor after kStopAfter
constexpr int kNobody = 65534;
const std::string kStopAfter = "20"; // seconds; every run here ends long before

struct Outcome {
    int status = -1;    // exit status, 128+N for signal N, -1 when it had to be killed
    std::string output; // stdout, then stderr
};

// Runs `args` with `env` (NAME=VALUE) added to our environment.
Outcome run(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    Outcome result;
    testsupport::Process child;
    if (!child.Start(args, env))
        return result;
    result.status = child.Wait(kRunLimitS);
    result.output = child.out + child.err;
    return result;
}

// The doctor under the launcher, with launcher options before it.
Outcome doctor_with_reader(std::vector<std::string> launcher_options)
{
    std::vector<std::string> args = {kLauncher, "--stop-after", kStopAfter};
    args.insert(args.end(), launcher_options.begin(), launcher_options.end());
    args.insert(args.end(), {"--", kDoctor});
    return run(args);
}

bool has(const Outcome &r, const std::string &text)
{
    return r.output.find(text) != std::string::npos;
}

// Whether a real reader is plugged into this machine.
bool real_reader_present()
{
    DIR *dir = opendir("/sys/bus/usb/devices");
    if (dir == nullptr)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        const std::string base = std::string("/sys/bus/usb/devices/") + entry->d_name;
        std::string vendor;
        std::string product;
        std::ifstream(base + "/idVendor") >> vendor;
        std::ifstream(base + "/idProduct") >> product;
        found = found || (vendor == "0400" && product == "c35a");
    }
    closedir(dir);
    return found;
}

TEST(DoctorWithVirtualReader, ReadyReader)
{
    const Outcome r = doctor_with_reader({"--no-card"});
    EXPECT_EQ(r.status, kExitReady) << r.output;
    EXPECT_TRUE(has(r, "readers found: 1")) << r.output;
    EXPECT_TRUE(has(r, "\n0400:c35a (bus ")) << r.output; // NvUsb::print_devs's line
    EXPECT_TRUE(has(r, "  device node /dev/bus/usb/")) << r.output;
    EXPECT_TRUE(has(r, ": this user can open it")) << r.output;
    EXPECT_TRUE(has(r, "kernel driver on interface 0: none")) << r.output;
    EXPECT_TRUE(has(r, "interface 0: free")) << r.output;
    EXPECT_TRUE(has(r, "  location: usb:1-1\n")) << r.output;
    // "VSIM-0001-000042", the launcher's first module, in hex.
    EXPECT_TRUE(has(r, "  module identifier: 5653494d2d303030312d303030303432\n")) << r.output;
    EXPECT_TRUE(has(r, "ready: a card read can start")) << r.output;
}

// Every reader is reported; one that can be used is enough.
TEST(DoctorWithVirtualReader, TwoReadersOneHeldByAnotherProgram)
{
    const Outcome r = doctor_with_reader({"--readers", "2", "--fault", "2:claim-fails=busy"});
    EXPECT_EQ(r.status, kExitReady) << r.output;
    EXPECT_TRUE(has(r, "readers found: 2")) << r.output;
    const size_t first = r.output.find("  location: usb:1-1\n");
    const size_t second = r.output.find("  location: usb:1-2\n");
    ASSERT_NE(first, std::string::npos) << r.output;
    ASSERT_NE(second, std::string::npos) << r.output;
    EXPECT_LT(first, second);
    const std::string held = r.output.substr(second);
    EXPECT_NE(held.find("interface 0: in use by another program"), std::string::npos) << held;
    EXPECT_NE(held.find("module identifier: not asked"), std::string::npos) << held;
    EXPECT_TRUE(has(r, "a read can start on 1 of 2 readers")) << r.output;
    EXPECT_TRUE(has(r, "ready: a card read can start")) << r.output;
}

TEST(DoctorWithVirtualReader, KernelDriverIsReportedAndDoesNotBlock)
{
    const Outcome r = doctor_with_reader({"--fault", "kernel-driver"});
    EXPECT_EQ(r.status, kExitReady) << r.output;
    EXPECT_TRUE(has(r, "kernel driver on interface 0: yes")) << r.output;
    EXPECT_TRUE(has(r, "ready: a card read can start")) << r.output;
}

TEST(DoctorWithVirtualReader, InterfaceHeldByAnotherProgramIsNotReady)
{
    const Outcome r = doctor_with_reader({"--fault", "claim-fails=busy"});
    EXPECT_EQ(r.status, kExitNotUsable) << r.output;
    EXPECT_TRUE(has(r, "interface 0: in use by another program (LIBUSB_ERROR_BUSY)")) << r.output;
    EXPECT_TRUE(has(r, "not ready")) << r.output;
}

TEST(DoctorWithVirtualReader, UnpluggedReader)
{
    const Outcome r = doctor_with_reader({"--no-reader"});
    EXPECT_EQ(r.status, kExitNoReader) << r.output;
    EXPECT_TRUE(has(r, "readers found: 0")) << r.output;
    EXPECT_TRUE(has(r, "no reader: no USB reader 0400:c35a is connected")) << r.output;
}

// The testbed is root's: open it to another user and leave the device node
// with the given mode, then run the doctor as that user: a copy of it, with
// the libraries it loads, that nobody may run wherever the build tree is.
Outcome doctor_as_nobody(const testsupport::AsNobody &nobody, const std::string &doctor,
                         const char *node_mode)
{
    const std::string script =
        std::string("chmod 0777 \"$UMOCKDEV_DIR\" && chmod -R a+rwX \"$UMOCKDEV_DIR/ioctl\" && ") +
        "chmod " + node_mode + " \"$UMOCKDEV_DIR\"/dev/bus/usb/*/* && " +
        "exec /usr/bin/setpriv --reuid=" + std::to_string(kNobody) +
        " --regid=" + std::to_string(kNobody) + " --clear-groups \"$0\"";
    return run({kLauncher, "--stop-after", kStopAfter, "--", "/bin/sh", "-c", script, doctor},
               {nobody.library_path()});
}

TEST(DoctorWithVirtualReader, DeviceNodeTheUserMayNotOpen)
{
    testsupport::AsNobody nobody;
    if (!nobody.available())
        GTEST_SKIP() << "needs root and setpriv to run the doctor as another user";
    const std::string doctor = nobody.place_program(kDoctor, VESSIK_BUILD_TREE_LIBRARIES);
    const Outcome denied = doctor_as_nobody(nobody, doctor, "0640");
    EXPECT_EQ(denied.status, kExitNotUsable) << denied.output;
    EXPECT_TRUE(has(denied, ": permission denied for this user")) << denied.output;
    EXPECT_TRUE(has(denied, "60-vessik.rules")) << denied.output;

    // The same user with the access the udev rule grants.
    const Outcome granted = doctor_as_nobody(nobody, doctor, "0666");
    EXPECT_EQ(granted.status, kExitReady) << granted.output;
    EXPECT_TRUE(has(granted, ": this user can open it")) << granted.output;
}

TEST(DoctorWithoutLauncher, NoReaderOnThisMachine)
{
    if (real_reader_present())
        GTEST_SKIP() << "a real reader is plugged in";
    const Outcome r = run({kDoctor});
    EXPECT_EQ(r.status, kExitNoReader) << r.output;
    EXPECT_TRUE(has(r, "\nno reader: ")) << r.output;
}

TEST(DoctorWithoutLauncher, UnknownOptionIsAUsageError)
{
    const Outcome r = run({kDoctor, "--frobnicate"});
    EXPECT_EQ(r.status, kExitUsage) << r.output;
    EXPECT_TRUE(has(r, "Usage: vessik-doctor")) << r.output;
}

TEST(DoctorDecoder, NamesTheStandIn)
{
    const Outcome r = run({kDoctor});
    EXPECT_TRUE(has(r, "photo decoder: " + kStandin + " is the kit's stand-in")) << r.output;
}

// LD_PRELOAD puts a decoder ahead of the stand-in, which stays loaded: the
// doctor must name the one the library's call reaches.
TEST(DoctorDecoder, PreloadedDecoderIsTheOneInUse)
{
    const Outcome r = run({kDoctor}, {"LD_PRELOAD=" + kTestPreloadDecoder});
    EXPECT_TRUE(has(r, "photo decoder: " + kTestPreloadDecoder + "\n")) << r.output;
    EXPECT_FALSE(has(r, "stand-in")) << r.output;
}

TEST(DoctorDecoder, DecoderFoundInItsPlaceIsNotTheStandIn)
{
    const std::string dir = kTestDecoder.substr(0, kTestDecoder.find_last_of('/'));
    const Outcome r = run({kDoctor}, {"LD_LIBRARY_PATH=" + dir});
    EXPECT_TRUE(has(r, "photo decoder: " + kTestDecoder + "\n")) << r.output;
    EXPECT_FALSE(has(r, "stand-in")) << r.output;
}

} // namespace
