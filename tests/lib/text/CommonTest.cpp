// SPDX-License-Identifier: LGPL-2.1-or-later
// Conversion helpers of CCommon, through the shared library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "Common.h"

namespace {

constexpr unsigned char kUntouched = 0xEE; // fill that shows bytes nobody wrote

// Bytes as compact upper-case hex, made without the code under test.
std::string Hex(const unsigned char *bytes, int count)
{
    std::string text;
    char digits[3];
    for (int i = 0; i < count; ++i) {
        snprintf(digits, sizeof(digits), "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

TEST(CCommonNumbers, Int2strWritesPlainDecimal)
{
    std::string out = "previous text";
    for (const int value : {-5, 0, 2147483647, -2147483647 - 1}) {
        CCommon::int2str(value, out);
        EXPECT_EQ(out, std::to_string(value));
    }
}

TEST(CCommonNumbers, Str2intFollowsFormattedExtraction)
{
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"  42x", 42},
        {"-17 and more", -17},
        {"abc", 0},
        {"", 7},
        {"   ", 7}, // blank text leaves the value alone
        {"9999999999", 2147483647},
        {"-9999999999", -2147483647 - 1},
    };
    for (const auto &c : cases) {
        int value = 7;
        CCommon::str2int(value, c.text);
        EXPECT_EQ(value, c.expected) << '"' << c.text << '"';
    }
}

TEST(CCommonNumbers, Hex2intParsesLikeStrtol)
{
    EXPECT_EQ(CCommon::hex2int("ff"), 255);
    EXPECT_EQ(CCommon::hex2int("FF"), 255);
    EXPECT_EQ(CCommon::hex2int("0xff"), 255);
    EXPECT_EQ(CCommon::hex2int(" -1a"), -26);
    EXPECT_EQ(CCommon::hex2int("7g"), 7);
    EXPECT_EQ(CCommon::hex2int(""), 0);
    EXPECT_EQ(CCommon::hex2int("zz"), 0);
    EXPECT_EQ(CCommon::hex2int("ffffffffff"), 0xffffffffffL); // wider than 32 bits
}

TEST(CCommonBytes, HexTextOfBytes)
{
    EXPECT_EQ(CCommon::ByteToHex(0x0A), "0A");
    EXPECT_EQ(CCommon::ByteToHex(0xFF), "FF");
    EXPECT_EQ(CCommon::ByteToHex(0x00), "00");
    EXPECT_EQ(CCommon::ByteToHex(0x9C), "9C");

    const unsigned char bytes[] = {0x01, 0xAB, 0x7F};
    EXPECT_EQ(CCommon::ByteToString(bytes, 0, 2), "01 AB ");
    EXPECT_EQ(CCommon::ByteToString(bytes, 1, 2), "AB 7F ");
    EXPECT_EQ(CCommon::ByteToString(bytes, 0, 0), "");
    EXPECT_EQ(CCommon::ByteToString(bytes, 0, -3), "");
}

TEST(CCommonBytes, SubBytesCopiesTheRangeOnly)
{
    const unsigned char src[] = {1, 2, 3, 4, 5};
    unsigned char dest[5];
    memset(dest, kUntouched, sizeof(dest));
    EXPECT_EQ(CCommon::subBytes(src, 0, 0, dest), 0);
    EXPECT_EQ(CCommon::subBytes(src, 0, -4, dest), -4);
    EXPECT_EQ(Hex(dest, 5), "EEEEEEEEEE");
    EXPECT_EQ(CCommon::subBytes(src, 1, 3, dest), 3);
    EXPECT_EQ(Hex(dest, 5), "020304EEEE");
}

TEST(CCommonReplace, ReplacesEveryOriginalOccurrenceOnce)
{
    std::string text = "banana";
    EXPECT_EQ(CCommon::strReplaceString(text, "a", "aa"), "baanaanaa");
    EXPECT_EQ(text, "baanaanaa"); // changed in place as well

    text = "a-b--c-";
    EXPECT_EQ(CCommon::strReplaceString(text, "-", ""), "abc");
    text = "abcabc";
    EXPECT_EQ(CCommon::strReplaceString(text, "bc", "X"), "aXaX");
    text = "abc";
    EXPECT_EQ(CCommon::strReplaceString(text, "zz", "y"), "abc");
    EXPECT_EQ(CCommon::strReplaceString(text, "", "x"), "abc"); // would never finish
}

TEST(CCommonGuid, ReordersTheFirstThreeGroups)
{
    unsigned char out[17];
    memset(out, kUntouched, sizeof(out));
    EXPECT_EQ(CCommon::GuidToBytearry("00112233445566778899aabbccddeeff", 32, out), 16);
    EXPECT_EQ(Hex(out, 17), "33221100554477668899AABBCCDDEEFFEE");
}

TEST(CCommonGuid, ShortTextsStillWriteEightHeadBytes)
{
    const struct {
        const char *text;
        int chars;
        int n;
        const char *hex; // nine bytes: the head and one beyond it
    } cases[] = {
        {"ab7", 3, 1, "000000AB00000000EE"},       // the odd last character is ignored
        {"", 0, 0, "0000000000000000EE"},          //
        {"01020304", 40, 4, "0403020100000000EE"}, // no more characters than the text holds
    };
    for (const auto &c : cases) {
        unsigned char out[9];
        memset(out, kUntouched, sizeof(out));
        EXPECT_EQ(CCommon::GuidToBytearry(c.text, c.chars, out), c.n) << c.text;
        EXPECT_EQ(Hex(out, 9), c.hex) << c.text;
    }
}

// Made once with Python 3: with r = random.Random(20240305), eight times
//   u = uuid.UUID(int=r.getrandbits(128)); print(str(u), u.bytes_le.hex().upper())
// (every other GUID upper-cased), plus two fixed GUIDs.
const struct {
    const char *guid;
    const char *bytes_le;
} kPythonGuids[] = {
    {"ac376f35-2448-3461-6104-b174eb2df7b3", "356F37AC482461346104B174EB2DF7B3"},
    {"91263F39-F322-CB13-EBBC-1B055DEEC8C9", "393F269122F313CBEBBC1B055DEEC8C9"},
    {"086c745f-81ed-55b1-7563-f27bba6d7561", "5F746C08ED81B1557563F27BBA6D7561"},
    {"17297365-D66B-10F2-C5F4-DE7BD1BD8CD3", "657329176BD6F210C5F4DE7BD1BD8CD3"},
    {"1e50f74c-f683-e98c-f043-7c772a2ef6c7", "4CF7501E83F68CE9F0437C772A2EF6C7"},
    {"A90113B3-2647-D928-EEB4-A59FD7E34F58", "B31301A9472628D9EEB4A59FD7E34F58"},
    {"12cd996a-a806-7623-5406-a97f77030265", "6A99CD1206A823765406A97F77030265"},
    {"6D5EF7D0-10E3-5787-226F-7A72B0BA9C98", "D0F75E6DE3108757226F7A72B0BA9C98"},
    {"00112233-4455-6677-8899-aabbccddeeff", "33221100554477668899AABBCCDDEEFF"},
    {"ffffffff-ffff-ffff-ffff-ffffffffffff", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"},
};

TEST(CCommonKeyPacket, CarriesTheGuidBytesAsPythonLaysThemOut)
{
    for (const auto &v : kPythonGuids) {
        unsigned char packet[23];
        memset(packet, kUntouched, sizeof(packet));
        ASSERT_EQ(CCommon::getSecretkeyPacket(v.guid, packet), 22) << v.guid;
        unsigned sum = 0;
        for (int i = 4; i < 20; ++i)
            sum += packet[i];
        char trailer[7];
        snprintf(trailer, sizeof(trailer), "%02XAAEE", sum & 0xFF);
        EXPECT_EQ(Hex(packet, 23), std::string("FFBB0010") + v.bytes_le + trailer) << v.guid;

        // The same GUID without its dashes builds the same packet.
        std::string bare = v.guid;
        bare.erase(std::remove(bare.begin(), bare.end(), '-'), bare.end());
        unsigned char again[22];
        ASSERT_EQ(CCommon::getSecretkeyPacket(bare, again), 22);
        EXPECT_EQ(Hex(again, 22), Hex(packet, 22)) << v.guid;
    }
}

TEST(CCommonKeyPacket, ShortAndOddKeys)
{
    const struct {
        const char *key;
        const char *packet; // with one byte beyond it
    } cases[] = {
        {"", "FFBB000000AAEE"},
        {"---", "FFBB000000AAEE"},
        {"01020304", "FFBB0004040302010AAAEE"}, // n = 4: every parsed byte arrives
        {"0102", "FFBB00020000"
                 "00AAEE"}, // n = 2: head bytes 3 and 2 are zero
        {"0102030405", "FFBB00050403020100"
                       "0AAAEE"}, // n = 5: byte 4 never arrives
        // Braces stay and shift the pairing: "{0" parses as 0 and "f}" as 0x0F.
        {"{00112233-4455-6677-8899-aabbccddeeff}", "FFBB0011231201004534675678899AABBCCDDEEF0F"
                                                   "17AAEE"},
    };
    for (const auto &c : cases) {
        unsigned char packet[32];
        memset(packet, kUntouched, sizeof(packet));
        const int len = CCommon::getSecretkeyPacket(c.key, packet);
        EXPECT_EQ(len, static_cast<int>(strlen(c.packet)) / 2 - 1) << c.key;
        EXPECT_EQ(Hex(packet, len + 1), c.packet) << c.key;
    }
}

TEST(CCommonKeyPacket, LongKeysAreCutAt128Bytes)
{
    // 300 digits: only the first 256 are used, and nothing past 134 bytes is written.
    std::string key;
    for (int i = 0; i < 150; ++i)
        key += CCommon::ByteToHex(static_cast<unsigned char>(i));
    unsigned char packet[200];
    memset(packet, kUntouched, sizeof(packet));
    EXPECT_EQ(CCommon::getSecretkeyPacket(key, packet), 134);
    EXPECT_EQ(Hex(packet, 4), "FFBB0080");
    EXPECT_EQ(packet[4 + 8], 8);
    EXPECT_EQ(packet[4 + 127], 127);
    EXPECT_EQ(Hex(packet + 132, 3), "C0AAEE"); // 0 + 1 + ... + 127 = 0x1FC0

    unsigned char out[140];
    memset(out, kUntouched, sizeof(out));
    EXPECT_EQ(CCommon::GuidToBytearry(key, static_cast<int>(key.length()), out), 128);
    EXPECT_EQ(out[128], kUntouched);
}

} // namespace
