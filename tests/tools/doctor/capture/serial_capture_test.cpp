// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor --capture on a serial module (the model behind a
// pseudo-terminal): the capture names the port, carries the serial frames
// with their timing, and holds none of the card; a late read answer, or a
// file already there, leaves no capture.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "SerialModuleHost.h"
#include "card.h"
#include "child_process.h"

namespace {

const std::string kDoctor = VESSIK_DOCTOR;
constexpr double kRunLimitS = 30;

std::string HexOfUcs2le(const std::string &utf8)
{
    std::vector<uint16_t> units;
    std::string error;
    vsim::utf8_to_ucs2(utf8, units, error);
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const uint16_t u : units) {
        for (const int b : {u & 0xFF, u >> 8}) {
            hex += kDigits[b >> 4];
            hex += kDigits[b & 0x0F];
        }
    }
    return hex;
}

TEST(SerialCaptureTest, TheCaptureNamesThePortCarriesTheFramesAndHoldsNoCard)
{
    vsim::CardFields card = vsim::sample_card();
    card.name = "甄录卫栩";
    card.id_number = "99123419771205002X";
    serialtest::SerialModuleHost module(&card);
    ASSERT_FALSE(module.path().empty());

    const std::string path = testing::TempDir() + "serial-capture.jsonl";
    testsupport::Process doctor;
    ASSERT_TRUE(doctor.Start({kDoctor, "--capture", path, "--reader", module.where()}));
    ASSERT_EQ(0, doctor.Wait(kRunLimitS)) << doctor.out << doctor.err;

    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string capture = text.str();
    std::remove(path.c_str());
    EXPECT_NE(std::string::npos, capture.find("\"kind\":\"serial_port\""));
    EXPECT_NE(std::string::npos, capture.find("\"link\":\"serial\""));
    EXPECT_NE(std::string::npos, capture.find("\"redaction\":\"sample-card\""));
    EXPECT_NE(std::string::npos, capture.find(HexOfUcs2le(vsim::sample_card().name)));
    EXPECT_EQ(std::string::npos, capture.find(HexOfUcs2le(card.name)));
    EXPECT_EQ(std::string::npos, capture.find(HexOfUcs2le(card.id_number)));
    EXPECT_EQ(std::string::npos, capture.find(card.id_number));
}

std::string FileText(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh folder of the test's own.
std::string NewFolder()
{
    std::string folder = testing::TempDir() + "capture-XXXXXX";
    return mkdtemp(&folder[0]) != nullptr ? folder : "";
}

size_t EntriesIn(const std::string &folder)
{
    size_t count = 0;
    if (DIR *dir = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            count += name != "." && name != ".." ? 1 : 0;
        }
        closedir(dir);
    }
    return count;
}

// A module that answers its 30 10 after the library has sent the next find:
// the answer (2321 bytes, the card's text in it) arrives under 20 01.
TEST(SerialCaptureTest, AReadAnswerArrivingAfterAnotherCommandLeavesNoCapture)
{
    vsim::CardFields card = vsim::sample_card();
    card.fingerprints = {vsim::fingerprint_from_seed(77), vsim::fingerprint_from_seed(78)};
    serialtest::SerialModuleHost module(&card);
    ASSERT_FALSE(module.path().empty());
    module.AnswerTheNextReadLate();
    // The card stays to be found again once the late read was given up.
    module.With([](vsim::VirtualReader &reader, vsim::SerialModule &) {
        reader.knobs().refind_after_read = true;
    });

    const std::string folder = NewFolder();
    const std::string path = folder + "/late.jsonl";
    testsupport::Process doctor;
    ASSERT_TRUE(doctor.Start({kDoctor, "--capture", path, "--reader", module.where()}));
    EXPECT_NE(0, doctor.Wait(kRunLimitS)) << doctor.out;
    EXPECT_NE(std::string::npos,
              doctor.out.find("no capture written: a 2321-byte answer came after command 2001"))
        << doctor.out;
    EXPECT_EQ(0u, EntriesIn(folder)) << FileText(path);
    std::remove(path.c_str());
    rmdir(folder.c_str());
}

struct PlantedName {
    const char *what;
    bool link; // a link to the victim's file, or a file open to everyone
};

TEST(SerialCaptureTest, ANamePlantedBeforeTheCaptureIsLeftAsItWas)
{
    constexpr mode_t kOpenToAll = 0666;
    const std::string kVictimsText = "the victim's own file\n";
    const PlantedName cases[] = {{"a link to another file", true},
                                 {"a file anyone may write", false}};
    const vsim::CardFields card = vsim::sample_card();
    for (const PlantedName &c : cases) {
        serialtest::SerialModuleHost module(&card);
        ASSERT_FALSE(module.path().empty());
        const std::string folder = NewFolder();
        const std::string victim = folder + "/victim";
        const std::string path = folder + "/capture.jsonl";
        std::ofstream(victim) << kVictimsText;
        if (c.link) {
            ASSERT_EQ(0, symlink(victim.c_str(), path.c_str())) << c.what;
        } else {
            std::ofstream(path) << kVictimsText;
            ASSERT_EQ(0, chmod(path.c_str(), kOpenToAll)) << c.what;
        }
        struct stat before {};
        ASSERT_EQ(0, lstat(path.c_str(), &before));

        testsupport::Process doctor;
        ASSERT_TRUE(doctor.Start({kDoctor, "--capture", path, "--reader", module.where()}));
        EXPECT_NE(0, doctor.Wait(kRunLimitS)) << c.what;
        EXPECT_NE(std::string::npos,
                  doctor.out.find("no capture written: " + path + " exists; it is not replaced"))
            << c.what << ": " << doctor.out;
        struct stat after {};
        ASSERT_EQ(0, lstat(path.c_str(), &after)) << c.what;
        EXPECT_EQ(before.st_mode, after.st_mode) << c.what;
        EXPECT_EQ(before.st_ino, after.st_ino) << c.what;
        EXPECT_EQ(kVictimsText, FileText(victim)) << c.what;
        EXPECT_EQ(kVictimsText, FileText(path)) << c.what;
        EXPECT_EQ(2u, EntriesIn(folder)) << c.what << ": no temporary file stays";
        std::remove(path.c_str());
        std::remove(victim.c_str());
        rmdir(folder.c_str());
    }
}

} // namespace
