// SPDX-License-Identifier: LGPL-2.1-or-later
// NvUsb against the virtual reader on the test bus: what the connect leaves,
// the two-stage split of every frame, partial and failed stages, and the
// exact diagnostics of each failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <libusb.h>
#include <string>
#include <vector>

#include "IdCardLib.h"
#include "NvUsb.h"
#include "bus_fixture.h"
#include "model_frames.h"
#include "output_capture.h"
#include "testbus.h"
#include "virtual_reader.h"

namespace {

using testsupport::BulkCalls;
using testsupport::Capture;
using testsupport::CommandFrame;
using testsupport::Output;

constexpr int kFrameBytes = 10; // a command frame: preamble, length, command, parameter, check

class NvUsbTest : public testsupport::BusTest {
  protected:
    NvUsbTest() : BusTest(vsim::sample_card()) {}
    void TearDown() override
    {
        Capture([&] { usb_.DisConnectUsb(); });
        BusTest::TearDown();
    }

    void Connect()
    {
        int rc = -2;
        Capture([&] { rc = usb_.ConnectUsb(); });
        ASSERT_EQ(rc, 0);
        testbus::clear_calls();
    }

    // Finds, selects and asks for the card; its answer is then ready.
    void AskForTheCard()
    {
        std::vector<uint8_t> find = CommandFrame(vsim::kCmdFind);
        std::vector<uint8_t> select = CommandFrame(vsim::kCmdSelect);
        std::vector<uint8_t> read_card = CommandFrame(vsim::kCmdRead);
        unsigned char answer[2048];
        usb_.WriteUsb(find.data(), kFrameBytes);
        usb_.ReadUsb(answer, 100);
        usb_.WriteUsb(select.data(), kFrameBytes);
        usb_.ReadUsb(answer, 100);
        usb_.WriteUsb(read_card.data(), kFrameBytes);
        testbus::advance_us(900000);
    }

    NvUsb usb_;
};

TEST_F(NvUsbTest, DisconnectOnAClosedObjectDoesNothing)
{
    const Output o = Capture([&] {
        usb_.DisConnectUsb();
        usb_.DisConnectUsb();
    });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(testbus::calls().empty());
    EXPECT_EQ(usb_.dev_handle, nullptr);
    EXPECT_EQ(usb_.usb_context, nullptr);
}

TEST_F(NvUsbTest, ConnectLeavesAnOpenReaderThatAnswersAndDisconnectLetsGoOfIt)
{
    int rc = -2;
    const Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(o.out, "Claimed Interface\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(testbus::device_lists_outstanding(), 0);
    EXPECT_EQ(testbus::open_handles(), 1);
    EXPECT_EQ(usb_.GetUsbStatus(), 0);
    std::vector<uint8_t> status = CommandFrame(vsim::kCmdModuleId);
    unsigned char answer[2048] = {};
    EXPECT_EQ(usb_.WriteUsb(status.data(), kFrameBytes), kFrameBytes - 7);
    EXPECT_GT(usb_.ReadUsb(answer, 100), 7);

    const Output closing = Capture([&] { usb_.DisConnectUsb(); });
    EXPECT_EQ(closing.out, "disconnect usb \n");
    EXPECT_EQ(usb_.GetUsbStatus(), -1);
    EXPECT_EQ(testbus::open_handles(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
    EXPECT_EQ(testbus::misuse(), 0);
}

TEST_F(NvUsbTest, ConnectAsksForTheReadersIdsConfigurationAndInterface)
{
    Capture([&] { usb_.ConnectUsb(); });
    for (const testbus::Call &c : testbus::calls()) {
        if (c.name == "libusb_open_device_with_vid_pid") {
            EXPECT_NE(c.args.find("0400"), std::string::npos) << c.args;
            EXPECT_NE(c.args.find("c35a"), std::string::npos) << c.args;
        }
    }
    int configuration = 0;
    ASSERT_EQ(reader_.get_configuration(&configuration), vsim::UsbStatus::Ok);
    EXPECT_EQ(configuration, 1);
    // Claimed: a second claim from elsewhere is not what we test; the model
    // answers a read of the configuration through the handle as well.
    EXPECT_EQ(usb_.GetUsbStatus(), 0);
}

TEST_F(NvUsbTest, ActiveKernelDriverIsDetachedBeforeTheClaim)
{
    reader_.knobs().kernel_driver_active = true;
    int rc = -2;
    const Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, 0);
    // Detached at once, so the second look finds no driver and says nothing.
    EXPECT_EQ(o.out, "Claimed Interface\n");
    const std::vector<std::string> names = testbus::call_names();
    const std::vector<std::string> expected = {
        "libusb_init",
        "libusb_get_device_list",
        "libusb_open_device_with_vid_pid",
        "libusb_free_device_list",
        "libusb_kernel_driver_active",
        "libusb_detach_kernel_driver",
        "libusb_set_configuration",
        "libusb_kernel_driver_active",
        "libusb_detach_kernel_driver",
        "libusb_claim_interface",
    };
    EXPECT_EQ(names, expected);
}

TEST_F(NvUsbTest, DriverThatStaysAttachedIsReportedAndDetachedAgain)
{
    reader_.knobs().kernel_driver_active = true;
    // The first detach fails, so the driver is still there at the second look.
    testbus::fail_next("libusb_detach_kernel_driver", LIBUSB_ERROR_ACCESS, 1);
    int rc = -2;
    const Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(o.out, "USB Kernel Driver Active \nClaimed Interface\n");
}

TEST_F(NvUsbTest, NoReaderFailsTheOpenAndKeepsTheContextUntilDisconnect)
{
    testbus::attach(nullptr);
    int rc = 0;
    const Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(o.err.rfind("Cannot open device,Please check device...\n: ", 0), 0u) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_NE(usb_.usb_context, nullptr);
    EXPECT_EQ(usb_.dev_handle, nullptr);
    EXPECT_EQ(testbus::device_lists_outstanding(), 0);

    const Output closing = Capture([&] { usb_.DisConnectUsb(); });
    EXPECT_EQ(closing.out, ""); // no handle, so no line
    EXPECT_EQ(usb_.usb_context, nullptr);
    EXPECT_EQ(testbus::open_contexts(), 0);
}

TEST_F(NvUsbTest, InitAndDeviceListFailuresReportThroughPerror)
{
    testbus::fail_next("libusb_init", LIBUSB_ERROR_NO_MEM, 1);
    int rc = 0;
    Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(o.err.rfind("Init Error\n: ", 0), 0u) << o.err;
    EXPECT_EQ(usb_.usb_context, nullptr);

    testbus::fail_next("libusb_get_device_list", LIBUSB_ERROR_NO_MEM, 1);
    o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(o.err.rfind("Get Device Error\n: ", 0), 0u) << o.err;
    EXPECT_NE(usb_.usb_context, nullptr);
    EXPECT_EQ(usb_.dev_handle, nullptr);
}

TEST_F(NvUsbTest, ClaimFailurePrintsTheCodeAndKeepsTheHandle)
{
    reader_.knobs().claim_error = vsim::UsbStatus::Busy;
    int rc = 0;
    const Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(o.out, "r= " + std::to_string(LIBUSB_ERROR_BUSY) + "\r\n");
    EXPECT_EQ(o.err.rfind("Cannot Claim Interface\n: ", 0), 0u) << o.err;
    EXPECT_NE(usb_.dev_handle, nullptr);
    EXPECT_NE(usb_.usb_context, nullptr);
    Capture([&] { usb_.DisConnectUsb(); });
    EXPECT_EQ(testbus::open_handles(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
}

TEST_F(NvUsbTest, SetConfigurationFailureIsOnlyLoggedAndTheConnectGoesOn)
{
    reader_.knobs().set_configuration_error = vsim::UsbStatus::Busy;
    int rc = -2;
    const Output o = Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(o.out, "Claimed Interface\n");
    EXPECT_EQ(o.err, "");
}

TEST_F(NvUsbTest, ConnectOnAnOpenObjectReleasesTheOldHandleFirst)
{
    Connect();
    int rc = -2;
    Capture([&] { rc = usb_.ConnectUsb(); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testbus::open_handles(), 1);
    EXPECT_EQ(testbus::open_contexts(), 1);
}

TEST_F(NvUsbTest, TenByteFrameGoesOutAsSevenHeaderAndThreeBodyBytes)
{
    Connect();
    std::vector<uint8_t> frame = CommandFrame(vsim::kCmdFind);
    EXPECT_EQ(usb_.WriteUsb(frame.data(), kFrameBytes), 3);
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 2u);
    EXPECT_EQ(bulk[0].endpoint, 0x02);
    EXPECT_EQ(bulk[0].data, std::vector<uint8_t>(frame.begin(), frame.begin() + 7));
    EXPECT_EQ(bulk[0].timeout_ms, 100u);
    EXPECT_EQ(bulk[1].endpoint, 0x06);
    EXPECT_EQ(bulk[1].data, std::vector<uint8_t>(frame.begin() + 7, frame.end()));
    EXPECT_EQ(bulk[1].timeout_ms, 100u);
    EXPECT_EQ(reader_.counters().find, 1);
}

TEST_F(NvUsbTest, SevenByteFrameHasAnEmptyBodyStage)
{
    Connect();
    unsigned char frame[7] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x00};
    EXPECT_EQ(usb_.WriteUsb(frame, 7), 0);
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 2u);
    EXPECT_EQ(bulk[1].endpoint, 0x06);
    EXPECT_EQ(bulk[1].length, 0);
}

TEST_F(NvUsbTest, SixByteControllerFrameGoesOutWholeOnTheHeaderEndpoint)
{
    Connect();
    unsigned char probe[6] = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
    EXPECT_EQ(usb_.WriteUsb(probe, 6), 0);
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].endpoint, 0x02);
    EXPECT_EQ(bulk[0].data, std::vector<uint8_t>(probe, probe + 6));
    EXPECT_EQ(reader_.counters().probes, 1);
}

TEST_F(NvUsbTest, StalledStageClearsThatEndpointsHaltAndReturnsTheCode)
{
    Connect();
    std::vector<uint8_t> frame = CommandFrame(vsim::kCmdFind);

    reader_.knobs().out_stall = {0x02, 0};
    EXPECT_EQ(usb_.WriteUsb(frame.data(), kFrameBytes), LIBUSB_ERROR_PIPE);
    std::vector<std::string> names = testbus::call_names();
    ASSERT_EQ(names.size(), 2u); // no body stage after a failed header stage
    EXPECT_EQ(names[1], "libusb_clear_halt");
    EXPECT_EQ(testbus::calls()[1].args, "ep=0x02");

    reader_.knobs().out_stall = {0x06, 0};
    testbus::clear_calls();
    EXPECT_EQ(usb_.WriteUsb(frame.data(), kFrameBytes), LIBUSB_ERROR_PIPE);
    names = testbus::call_names();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[2], "libusb_clear_halt");
    EXPECT_EQ(testbus::calls()[2].args, "ep=0x06");
}

TEST_F(NvUsbTest, ClosedObjectRefusesTransfersWithoutTouchingTheBus)
{
    unsigned char buf[2048];
    unsigned char frame[10] = {};
    int read_rc = 0;
    int write_rc = 0;
    const Output o = Capture([&] {
        read_rc = usb_.ReadUsb(buf, 100);
        write_rc = usb_.WriteUsb(frame, 10);
        usb_.Resetep();
    });
    EXPECT_EQ(read_rc, -1);
    EXPECT_EQ(write_rc, -1);
    EXPECT_EQ(o.out, "dev_handle == NULL\r\n");
    EXPECT_EQ(usb_.GetUsbStatus(), -1);
    EXPECT_TRUE(testbus::calls().empty());
}

TEST_F(NvUsbTest, ReadCardAnswerLandsAtItsFrameOffsets)
{
    Connect();
    unsigned char buf[2048];
    AskForTheCard();
    testbus::clear_calls();
    EXPECT_EQ(usb_.ReadUsb(buf, 100), 1295);

    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 2u);
    EXPECT_EQ(bulk[0].endpoint, 0x81);
    EXPECT_EQ(bulk[0].length, 2048);
    EXPECT_EQ(bulk[0].transferred, 7);
    EXPECT_EQ(bulk[1].endpoint, 0x85);
    EXPECT_EQ(bulk[1].transferred, 1288);

    std::vector<uint8_t> answer(buf, buf + 1295);
    EXPECT_TRUE(vsim::sam_frame_valid(answer));
    EXPECT_EQ(answer[5], 0x05);
    EXPECT_EQ(answer[6], 0x08);
    const auto block = vsim::build_text_block(vsim::sample_card());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), answer.begin() + 14));
    const std::vector<uint8_t> photo = vsim::sample_card().photo;
    EXPECT_TRUE(std::equal(photo.begin(), photo.end(), answer.begin() + 270));
}

TEST_F(NvUsbTest, FailedHeaderStageKeepsTheBufferHeadAndCountsTheBody)
{
    Connect();
    std::vector<uint8_t> find = CommandFrame(vsim::kCmdFind);
    usb_.WriteUsb(find.data(), kFrameBytes);
    reader_.knobs().in_timeout = {0x81, 0};
    unsigned char buf[2048];
    memset(buf, 0xEE, sizeof(buf));
    // The find answer is 15 bytes: 7 in the header stage, 8 in the body.
    EXPECT_EQ(usb_.ReadUsb(buf, 100), 8 + 7);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(buf[i], 0xEE) << i;
    EXPECT_EQ(buf[7], 0x00);
    EXPECT_EQ(buf[9], 0x9F);
}

TEST_F(NvUsbTest, BodyStageWithNothingToSayReturnsZeroAfterBothTimeouts)
{
    Connect();
    unsigned char buf[2048];
    const uint64_t before = testbus::now_us();
    EXPECT_EQ(usb_.ReadUsb(buf, 250), 0);
    EXPECT_EQ(testbus::now_us() - before, 2 * 250000u);
}

TEST_F(NvUsbTest, PartialBodyStageReturnsTheCountTheFailedTransferReported)
{
    Connect();
    std::vector<uint8_t> find = CommandFrame(vsim::kCmdFind);
    usb_.WriteUsb(find.data(), kFrameBytes);
    reader_.knobs().in_partial = {0x85, 0};
    reader_.knobs().in_partial_bytes = 3;
    unsigned char buf[2048] = {};
    EXPECT_EQ(usb_.ReadUsb(buf, 100), 3);
    EXPECT_EQ(buf[7], 0x00); // nothing of a failed body stage is placed
}

TEST_F(NvUsbTest, AnswerLongerThanTheCallersBufferIsCutAtItsEnd)
{
    Connect();
    AskForTheCard();

    constexpr int kRoom = 100;
    unsigned char small[kRoom + 16];
    memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(usb_.ReadUsb(small, kRoom, 100), kRoom);
    for (int i = kRoom; i < kRoom + 16; ++i)
        ASSERT_EQ(small[i], 0xEE) << "written past the buffer at " << i;
    EXPECT_EQ(small[0], 0xAA);
    EXPECT_EQ(small[6], 0x08);
    EXPECT_EQ(small[9], 0x90); // the body's status bytes 00 00 90 start at 7
}

TEST_F(NvUsbTest, StatusAndResetFollowTheDevice)
{
    Connect();
    EXPECT_EQ(usb_.GetUsbStatus(), 0);
    usb_.Resetep();
    EXPECT_EQ(reader_.counters().device_resets, 1);
    reader_.unplug();
    EXPECT_EQ(usb_.GetUsbStatus(), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(NvUsbTest, PrintDevsListsIdsBusAddressAndPortPath)
{
    testbus::Device reader_dev;
    reader_dev.reader = &reader_;
    testbus::set_devices({reader_dev, testsupport::RootHub(2, {})});
    const Output o = Capture([&] { usb_.print_devs(testbus::device_list()); });
    EXPECT_EQ(o.out, "0400:c35a (bus 1, device 4) path: 1.3\n1d6b:0002 (bus 2, device 1)\n");
}

TEST_F(NvUsbTest, PrintDevsStopsAtADescriptorItCannotRead)
{
    testbus::Device first;
    first.reader = &reader_;
    testbus::Device broken;
    broken.descriptor_error = LIBUSB_ERROR_IO;
    testbus::Device last;
    last.address = 9;
    testbus::set_devices({first, broken, last});
    const Output o = Capture([&] { usb_.print_devs(testbus::device_list()); });
    EXPECT_EQ(o.out, "0400:c35a (bus 1, device 4) path: 1.3\n");
    EXPECT_EQ(o.err, "failed to get device descriptor");
}

// The stand-alone link behind USB_ConnectUsb never touches the reader object.
TEST_F(NvUsbTest, StandAloneLinkUsesOnlyItsOwnObject)
{
    int rc = -2;
    Capture([&] { rc = USB_ConnectUsb(); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(nvusb.dev_handle, nullptr);
    EXPECT_EQ(g_IdCardMain.usb.dev_handle, nullptr);
    EXPECT_EQ(g_IdCardMain.usb.usb_context, nullptr);
    Capture([] { USB_DisConnectUsb(); });
    EXPECT_EQ(nvusb.dev_handle, nullptr);
    EXPECT_EQ(testbus::open_contexts(), 0);

    testbus::attach(nullptr);
    Capture([&] { rc = USB_ConnectUsb(); });
    EXPECT_EQ(rc, -1);
    Capture([] { USB_DisConnectUsb(); });
    EXPECT_EQ(testbus::open_contexts(), 0);
}

} // namespace
