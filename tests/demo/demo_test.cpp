// SPDX-License-Identifier: LGPL-2.1-or-later
// The demo, unmodified and with its real libusb-1.0, under
// vessik-virtual-reader: what it prints of the sample card, byte for byte
// where clients parse it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "launcher_run.h"

namespace {

const char *const kLauncher = VESSIK_LAUNCHER;
const char *const kDemo = VESSIK_DEMO;

const std::string kSampleCardNo = "990000199003070013";

using namespace testsupport;

// vessik-virtual-reader OPTIONS -- PROGRAM...
Outcome launch(const std::vector<std::string> &options, const std::vector<std::string> &program)
{
    return RunToEnd(UnderLauncher(kLauncher, options, program));
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

} // namespace
