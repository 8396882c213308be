// SPDX-License-Identifier: LGPL-2.1-or-later
// The virtual reader's serial module end to end: vessik-read and
// vessik-doctor open the launcher's pseudo-terminal by its path, as they
// would /dev/ttyUSB0, through their own library. The library's handling of
// the line itself (pieces, resynchronising, rate change, cancel) is shown in
// process by the API tests; here it is the launcher's line and the programs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "as_nobody.h"
#include "card.h"
#include "card_fixtures.h"
#include "child_process.h"
#include "launcher_run.h"

namespace {

const std::string kLauncher = VESSIK_LAUNCHER;
const std::string kCli = VESSIK_READ_CLI;
const std::string kDoctor = VESSIK_DOCTOR;
const std::string kCardsDir = VSIM_CARDS_DIR;
const std::string kSetpriv = "/usr/bin/setpriv";

// vessik-read's exit statuses.
constexpr int kReadOk = 0;
constexpr int kReadNoReader = 2;
constexpr int kReadTimeout = 3;
constexpr int kReadReaderLost = 5;
// vessik-doctor's.
constexpr int kDoctorReady = 0;
constexpr int kDoctorNoReader = 1;
constexpr int kDoctorNotUsable = 2;

constexpr double kRunLimitS = 25;
const std::string kStopAfter = "20"; // seconds; every run here ends long before
constexpr int kNobody = 65534;
// "VSIM-S001-000042", the launcher's serial module, in hex.
const std::string kSerialModuleHex = "5653494d2d533030312d303030303432";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    double took_s = 0;
};

// `script` under the launcher with `launcher_args`, as sh -c SCRIPT READ DOCTOR:
// the script finds vessik-read in $0, vessik-doctor in $1, and the serial
// module's path in $VESSIK_VIRTUAL_SERIAL.
// `doctor` and `env` (NAME=VALUE) stand in for the build tree's doctor and
// our own environment alone where the doctor runs as another user.
Outcome RunScript(std::vector<std::string> launcher_args, const std::string &script,
                  const std::string &doctor = kDoctor, const std::vector<std::string> &env = {})
{
    launcher_args.insert(launcher_args.begin(), {"--stop-after", kStopAfter});
    const std::vector<std::string> program = {"/bin/sh", "-c", script, kCli, doctor};
    Outcome result;
    testsupport::Process child;
    if (!child.Start(testsupport::UnderLauncher(kLauncher, launcher_args, program), env))
        return result;
    result.status = child.Wait(kRunLimitS);
    result.took_s = child.Took();
    result.out = child.out;
    result.err = child.err;
    return result;
}

bool Has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The serial module's path as the launcher announces it on stderr.
std::string AnnouncedPath(const std::string &err)
{
    const std::string lead = "serial module at ";
    const size_t at = err.find(lead);
    if (at == std::string::npos)
        return "";
    const size_t start = at + lead.size();
    return err.substr(start, err.find(' ', start) - start);
}

// USB reader 1 stays off the bus in these runs: only the serial module can
// answer.
const char kNoUsbReader[] = "--no-reader=1";

TEST(SerialLine, ReadsACardAndListsThePort)
{
    const vsim::CardFields card = testsupport::LoadCardFile(kCardsDir + "/hmt-permit.card");
    const Outcome r =
        RunScript({"--serial", kNoUsbReader, "--card", kCardsDir + "/hmt-permit.card"},
                  "\"$0\" --list && \"$0\" --reader \"serial:$VESSIK_VIRTUAL_SERIAL\" --json");
    ASSERT_EQ(r.status, kReadOk) << r.out << r.err;
    const std::string path = AnnouncedPath(r.err);
    ASSERT_FALSE(path.empty()) << r.err;
    // Listed from VESSIK_SERIAL_READERS, the module asked for its identifier.
    EXPECT_TRUE(Has(r.out, "serial:" + path + "  serial  module " + kSerialModuleHex)) << r.out;
    EXPECT_TRUE(Has(r.out, "\"type\":\"hmt-permit\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"id_number\":\"" + card.id_number + "\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"name\":\"" + card.name + "\"")) << r.out;
}

// The launcher's line faults at a rate other than the default: answers in
// pieces with pauses, noise before each, the first one's check byte wrong,
// bytes no faster than the wire allows.
TEST(SerialLine, ReadsThroughLineFaultsAtAnotherRate)
{
    const vsim::CardFields card = vsim::sample_card();
    const Outcome r =
        RunScript({"--serial-rate", "57600", kNoUsbReader, "--fault", "serial-pieces=50", "--fault",
                   "serial-pause-us=3000", "--fault", "serial-noise=7", "--fault",
                   "serial-corrupt-checks=1", "--fault", "serial-wire-time"},
                  "exec \"$0\" --reader \"serial:$VESSIK_VIRTUAL_SERIAL@57600\" "
                  "--json --timeout 10");
    ASSERT_EQ(r.status, kReadOk) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "(57600 baud)")) << r.err;
    EXPECT_TRUE(Has(r.out, "\"id_number\":\"" + card.id_number + "\"")) << r.out;
}

TEST(SerialLine, AModuleAtAnotherRateIsNotUnderstood)
{
    const Outcome r =
        RunScript({"--serial-rate", "9600", kNoUsbReader},
                  "exec \"$0\" --reader \"serial:$VESSIK_VIRTUAL_SERIAL\" --timeout 1");
    EXPECT_EQ(r.status, kReadTimeout) << r.out << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
}

// The port vanishes under a read that waits for a card; a second open finds
// no port.
TEST(SerialLine, PortVanishingDuringAReadIsReaderLost)
{
    const Outcome r =
        RunScript({"--serial", kNoUsbReader, "--no-card", "--unplug-after", "1"},
                  "\"$0\" --reader \"serial:$VESSIK_VIRTUAL_SERIAL\"; echo \"first=$?\"; "
                  "\"$0\" --reader \"serial:$VESSIK_VIRTUAL_SERIAL\"; echo \"second=$?\"");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "first=" + std::to_string(kReadReaderLost) + "\n")) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "second=" + std::to_string(kReadNoReader) + "\n")) << r.out << r.err;
    EXPECT_LT(r.took_s, 6.0);
}

// serial:COMMAND on the control socket: the port taken away and brought
// back under the same path, and the module's own counters.
TEST(SerialLine, ControlSocketTakesThePortAwayAndBack)
{
    const std::string control =
        "ctl() { python3 -c 'import os, socket, sys\n"
        "s = socket.socket(fileno=int(os.environ[\"VESSIK_READER_CONTROL\"]))\n"
        "s.send(sys.argv[1].encode())\n"
        "print(sys.argv[1], \"->\", s.recv(1024).decode())' \"$1\"; }; ";
    const std::string read = "\"$0\" --reader \"serial:$VESSIK_VIRTUAL_SERIAL\" --timeout 2";
    const Outcome r = RunScript({"--serial", kNoUsbReader, "--control"},
                                control + "ctl serial:unplug; " + read + "; echo \"gone=$?\"; " +
                                    "ctl serial:plug; " + read + " --json; echo \"back=$?\"; " +
                                    "ctl serial:counters; ctl 5:card");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "serial:unplug -> ok\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "gone=" + std::to_string(kReadNoReader) + "\n")) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "serial:plug -> ok\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"id_number\":\"" + vsim::sample_card().id_number + "\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "back=" + std::to_string(kReadOk) + "\n")) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "serial:counters -> ok module_id=")) << r.out;
    EXPECT_TRUE(Has(r.out, " read=1 ")) << r.out;
    EXPECT_TRUE(Has(r.out, "5:card -> error: there is no reader 5")) << r.out;
}

TEST(SerialDoctor, NamedPortWithAModuleIsReady)
{
    const Outcome r =
        RunScript({"--serial", kNoUsbReader}, "exec \"$1\" --serial \"$VESSIK_VIRTUAL_SERIAL\"");
    EXPECT_EQ(r.status, kDoctorReady) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "readers found: 0")) << r.out;
    EXPECT_TRUE(Has(r.out, "  access: this user can open it for reading and writing\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "  module: answers its status query at 115200 baud, identifier " +
                               kSerialModuleHex + "\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "\nready: a card read can start\n")) << r.out;
}

// Without --serial the doctor checks the ports of VESSIK_SERIAL_READERS: the
// launcher names its own, which is not there.
TEST(SerialDoctor, ListedPortThatIsNotThere)
{
    const Outcome r = RunScript({"--serial", "--no-reader"}, "exec \"$1\"");
    EXPECT_EQ(r.status, kDoctorNoReader) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "  device: does not exist")) << r.out;
    EXPECT_TRUE(Has(r.out, "\nno reader: ")) << r.out;
}

// The port in group dialout, mode 0660, and the doctor run as a user
// outside that group, then as one in it.
TEST(SerialDoctor, PortTheUserMayNotOpen)
{
    testsupport::AsNobody as_nobody;
    if (!as_nobody.available())
        GTEST_SKIP() << "needs root and setpriv to run the doctor as another user";
    // A copy nobody may run, wherever the build tree is.
    const std::string placed = as_nobody.place_program(kDoctor, VESSIK_BUILD_TREE_LIBRARIES);
    const std::vector<std::string> env = {as_nobody.library_path()};
    const std::string nobody = std::to_string(kNobody);
    const std::string script_head =
        "node=$(readlink \"$VESSIK_VIRTUAL_SERIAL\") && chgrp dialout \"$node\" && "
        "chmod 0660 \"$node\" && exec " +
        kSetpriv + " --reuid=" + nobody + " --regid=" + nobody;
    const std::string doctor = " \"$1\" --serial \"$VESSIK_VIRTUAL_SERIAL\"";

    const Outcome denied = RunScript({"--serial", kNoUsbReader},
                                     script_head + " --clear-groups" + doctor, placed, env);
    EXPECT_EQ(denied.status, kDoctorNotUsable) << denied.out << denied.err;
    EXPECT_TRUE(Has(denied.out, "group dialout, mode 0660")) << denied.out;
    EXPECT_TRUE(Has(denied.out, "access: permission denied for this user, who is not in group "
                                "dialout (add it: sudo usermod -aG dialout USER"))
        << denied.out;
    EXPECT_TRUE(Has(denied.out, "module: not asked")) << denied.out;

    const Outcome granted = RunScript({"--serial", kNoUsbReader},
                                      script_head + " --groups dialout" + doctor, placed, env);
    EXPECT_EQ(granted.status, kDoctorReady) << granted.out << granted.err;
    EXPECT_TRUE(Has(granted.out, "identifier " + kSerialModuleHex)) << granted.out;
}

} // namespace
