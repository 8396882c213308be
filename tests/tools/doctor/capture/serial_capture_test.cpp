// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor --capture on a serial module (the model behind a
// pseudo-terminal): the capture names the port, carries the serial frames
// with their timing, and holds none of the card; a late read answer, or a
// name already taken, leaves no capture.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "card.h"
#include "card_fixtures.h"
#include "child_process.h"
#include "serial_module_host.h"

namespace {

const std::string kDoctor = VESSIK_DOCTOR;
constexpr double kRunLimitS = 30;

std::string HexOfUcs2le(const std::string &utf8)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const uint8_t b : testsupport::Ucs2le(utf8)) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

TEST(SerialCaptureTest, TheCaptureNamesThePortCarriesTheFramesAndHoldsNoCard)
{
    vsim::CardFields card = vsim::sample_card();
    card.name = "甄录卫栩";
    card.id_number = "99123419771205002X";
    testsupport::SerialModuleHost module(&card);
    ASSERT_FALSE(module.path().empty());

    const std::string path = testing::TempDir() + "serial-capture.jsonl";
    testsupport::Process doctor;
    ASSERT_TRUE(doctor.Start({kDoctor, "--capture", path, "--reader", module.where()}));
    ASSERT_EQ(0, doctor.Wait(kRunLimitS)) << doctor.out << doctor.err;

    const std::string capture = testsupport::ReadFile(path);
    std::remove(path.c_str());
    EXPECT_NE(std::string::npos, capture.find("\"kind\":\"serial_port\""));
    EXPECT_NE(std::string::npos, capture.find("\"link\":\"serial\""));
    EXPECT_NE(std::string::npos, capture.find("\"redaction\":\"sample-card\""));
    EXPECT_NE(std::string::npos, capture.find(HexOfUcs2le(vsim::sample_card().name)));
    EXPECT_EQ(std::string::npos, capture.find(HexOfUcs2le(card.name)));
    EXPECT_EQ(std::string::npos, capture.find(HexOfUcs2le(card.id_number)));
    EXPECT_EQ(std::string::npos, capture.find(card.id_number));
}

// A module answering its read after the library sent the next find: the
// 1295-byte answer (the card's text in it) arrives under 20 01. The module
// refuses 30 10, so that the late answer is one to 30 01, which is given up
// for a new find (a 30 10 left unanswered is followed by 30 01 instead).
TEST(SerialCaptureTest, AReadAnswerArrivingAfterAnotherCommandLeavesNoCapture)
{
    vsim::CardFields card = vsim::sample_card();
    testsupport::SerialModuleHost module(&card);
    module.AnswerTheNextReadLate();
    module.With([](vsim::VirtualReader &reader, vsim::SerialModule &) {
        reader.knobs().refind_after_read = true; // found again once the late read was given up
        reader.knobs().refuse_fingerprint_read = true;
    });
    const std::string path = testing::TempDir() + "late-capture.jsonl";
    std::remove(path.c_str());
    testsupport::Process doctor;
    ASSERT_TRUE(doctor.Start({kDoctor, "--capture", path, "--reader", module.where()}));
    EXPECT_EQ(2, doctor.Wait(kRunLimitS));
    EXPECT_NE(std::string::npos,
              doctor.out.find("no capture written: a 1295-byte answer came after command 2001"))
        << doctor.out;
    EXPECT_NE(0, access(path.c_str(), F_OK));
}

// A link to another file, then a file anyone may write, where the capture goes.
TEST(SerialCaptureTest, ANamePlantedBeforeTheCaptureIsLeftAsItWas)
{
    constexpr mode_t kOpenToAll = 0666;
    const vsim::CardFields card = vsim::sample_card();
    for (const bool planted_link : {true, false}) {
        testsupport::SerialModuleHost module(&card);
        std::string folder = testing::TempDir() + "capture-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(&folder[0]));
        const std::string victim = folder + "/victim";
        const std::string path = folder + "/capture.jsonl";
        std::ofstream(victim) << "own";
        if (planted_link)
            ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
        else
            ASSERT_EQ(0, (std::ofstream(path) << "own", chmod(path.c_str(), kOpenToAll)));
        struct stat before {};
        struct stat after {};
        ASSERT_EQ(0, lstat(path.c_str(), &before));

        testsupport::Process doctor;
        ASSERT_TRUE(doctor.Start({kDoctor, "--capture", path, "--reader", module.where()}));
        EXPECT_EQ(2, doctor.Wait(kRunLimitS)) << planted_link;
        EXPECT_NE(std::string::npos, doctor.out.find(path + " exists; it is not replaced"))
            << doctor.out;
        ASSERT_EQ(0, lstat(path.c_str(), &after));
        EXPECT_EQ(before.st_mode, after.st_mode);
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ("own", testsupport::ReadFile(victim));
        EXPECT_EQ("own", testsupport::ReadFile(path));
        std::remove(path.c_str());
        std::remove(victim.c_str());
        EXPECT_EQ(0, rmdir(folder.c_str())) << "a temporary file stayed";
    }
}

} // namespace
