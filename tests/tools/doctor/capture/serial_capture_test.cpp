// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor --capture on a serial module (the model behind a
// pseudo-terminal): the capture names the port, carries the serial frames
// with their timing, and holds none of the card.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
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

} // namespace
