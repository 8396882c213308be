// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader object's settings and callback, and the C functions in front of
// the global reader object and the photo decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "IdCardLib.h"
#include "output_capture.h"
#include "testbus.h"
#include "virtual_reader.h"

// The photo decoder this test program supplies in place of libwltdec64.
namespace {
int g_decoder_result = 0;
const unsigned char *g_decoder_photo = nullptr;
std::string g_decoder_path;
} // namespace

extern "C" int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    g_decoder_photo = photo;
    g_decoder_path = path != nullptr ? path : "(null)";
    return g_decoder_result;
}

namespace {

std::vector<std::string> g_seen;
void CallbackA(int, void *text)
{
    g_seen.push_back(std::string("A:") + static_cast<const char *>(text));
}
void CallbackB(int, void *text)
{
    g_seen.push_back(std::string("B:") + static_cast<const char *>(text));
}

TEST(ReaderObject, StartsClosedAndEmpty)
{
    CardMain fresh;
    EXPECT_EQ(fresh.read_info_cb, nullptr);
    EXPECT_EQ(fresh.usb.dev_handle, nullptr);
    EXPECT_EQ(fresh.usb.usb_context, nullptr);
    EXPECT_EQ(fresh.serial.port_fd, -1);
    EXPECT_EQ(fresh.service_port, 0);
    EXPECT_EQ(fresh.com_baud_rate, 0);
    EXPECT_EQ(fresh.card_type, 0);
    EXPECT_EQ(fresh.service_address[0], 0);
    EXPECT_EQ(fresh.com_path[0], 0);
}

TEST(ReaderObject, ServiceInfoStoresUpToThirtyOneCharacters)
{
    CardMain m;
    EXPECT_EQ(m.setServiceinfo(nullptr, 19904), -101);
    EXPECT_EQ(m.setServiceinfo("192.0.2.10", 19904), 0);
    EXPECT_STREQ(m.service_address, "192.0.2.10");
    EXPECT_EQ(m.service_port, 19904);

    const std::string longest(31, 'a');
    EXPECT_EQ(m.setServiceinfo(longest.c_str(), 1), 0);
    EXPECT_EQ(std::string(m.service_address), longest);
    EXPECT_EQ(m.service_address[31], 0);

    // A text that does not fit is refused and nothing stored changes.
    const std::string too_long(32, 'b');
    EXPECT_EQ(m.setServiceinfo(too_long.c_str(), 2), -102);
    EXPECT_EQ(std::string(m.service_address), longest);
    EXPECT_EQ(m.service_port, 1);
    EXPECT_EQ(m.setServiceinfo(nullptr, 3), -101);
    EXPECT_EQ(m.service_port, 1);

    // A shorter text clears the tail of the longer one before it.
    EXPECT_EQ(m.setServiceinfo("x", 4), 0);
    for (size_t i = 1; i < sizeof(m.service_address); ++i)
        EXPECT_EQ(m.service_address[i], 0) << i;
}

TEST(ReaderObject, ComInfoStoresUpTo255Characters)
{
    CardMain m;
    EXPECT_EQ(m.setComInfo(nullptr, 115200), -101);
    const std::string longest(255, 'p');
    EXPECT_EQ(m.setComInfo(longest.c_str(), 115200), 0);
    EXPECT_EQ(std::string(m.com_path), longest);
    EXPECT_EQ(m.com_baud_rate, 115200);
    const std::string too_long(256, 'q');
    EXPECT_EQ(m.setComInfo(too_long.c_str(), 9600), -102);
    EXPECT_EQ(std::string(m.com_path), longest);
    EXPECT_EQ(m.com_baud_rate, 115200);
}

TEST(ReaderObject, CExportsForwardToTheGlobalReaderObject)
{
    EXPECT_EQ(SetServiceInfo("198.51.100.7", 19904), 0);
    EXPECT_STREQ(g_IdCardMain.service_address, "198.51.100.7");
    EXPECT_EQ(g_IdCardMain.service_port, 19904);
    EXPECT_EQ(SetServiceInfo(nullptr, 1), -101);
    EXPECT_EQ(SetComInfo("/dev/ttyS0", 115200), 0);
    EXPECT_STREQ(g_IdCardMain.com_path, "/dev/ttyS0");
    EXPECT_EQ(g_IdCardMain.com_baud_rate, 115200);
}

TEST(ReaderObject, CallbackCanBeReplacedButNotRemoved)
{
    CardMain m;
    m.IDCARD_SetReadInfoCB(CallbackA);
    m.IDCARD_SetReadInfoCB(nullptr);
    EXPECT_EQ(m.read_info_cb, CallbackA);
    m.IDCARD_SetReadInfoCB(CallbackB);
    EXPECT_EQ(m.read_info_cb, CallbackB);

    CARD_SetReadInfoCB(CallbackA);
    CARD_SetReadInfoCB(nullptr);
    EXPECT_EQ(g_IdCardMain.read_info_cb, CallbackA);
}

TEST(ReaderObject, ReadIDCardLibReadsThroughTheGlobalObject)
{
    testbus::reset();
    vsim::VirtualReader reader(vsim::sample_card());
    testbus::attach(&reader);
    g_seen.clear();
    CARD_SetReadInfoCB(CallbackB);
    idInfo info;
    memset(&info, 0, sizeof(info));
    int rc = 0;
    testsupport::Capture([&] { rc = ReadIDCardLib(&info, 1); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"B:usb connect ok", "B:read card  successful"}));
    EXPECT_EQ(std::string(info.cardno), vsim::sample_card().id_number);
    EXPECT_EQ(g_IdCardMain.card_type, 1);
    EXPECT_EQ(g_IdCardMain.usb.dev_handle, nullptr);
    EXPECT_EQ(testbus::open_contexts(), 0);

    EXPECT_EQ(ReadIDCardLib(&info, 0), 0);
    EXPECT_EQ(g_IdCardMain.card_type, 0);
    testbus::reset();
}

TEST(ReaderObject, SaveImageReturnsWhatTheDecoderReturns)
{
    unsigned char photo[1024] = {1, 2, 3};
    for (int result : {1, 0, -1, 42}) {
        g_decoder_result = result;
        EXPECT_EQ(SaveImage(photo, "/tmp/x.bmp"), result);
        EXPECT_EQ(g_decoder_photo, photo);
        EXPECT_EQ(g_decoder_path, "/tmp/x.bmp");
    }
}

} // namespace
