// SPDX-License-Identifier: LGPL-2.1-or-later
// The exported command frames belong to the documented read: a client that
// patches one changes what ReadIDCardLib sends, never what vessik_read sends.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <libusb.h>
#include <thread>

#include "ApiTestSupport.h"
#include "CardMain.h"
#include "IdCardLib.h"

namespace {

using apitest::ReadApiTest;

// A find the module does not know (20 7F), whole with its check byte.
constexpr unsigned char kPatchedFind[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                            0x00, 0x03, 0x20, 0x7F, 0x5C};

// How long a read may take before the test calls it lost.
constexpr unsigned kReadBoundMs = 5000;
// How long the test waits for the patched find before pulling the reader anyway.
constexpr uint64_t kWatchBoundUs = 5000000;

// How many commands with this code the module received on the body stage.
int Sent(const unsigned char (&code)[2])
{
    return static_cast<int>(testsupport::CommandStages(code).size());
}

class PatchedFramesTest : public ReadApiTest {
  protected:
    void SetUp() override
    {
        ReadApiTest::SetUp();
        memcpy(saved_, SAM_Serach, sizeof saved_);
        memcpy(SAM_Serach, kPatchedFind, sizeof kPatchedFind);
    }
    void TearDown() override
    {
        memcpy(SAM_Serach, saved_, sizeof saved_);
        ReadApiTest::TearDown();
    }
    unsigned char saved_[10] = {};
    const unsigned char patched_code_[2] = {kPatchedFind[7], kPatchedFind[8]};
};

TEST_F(PatchedFramesTest, ExtendedReadSendsItsOwnFind)
{
    Present(vsim::sample_card());
    options_.deadline_ms = kReadBoundMs; // a read that sent the patched find never finds
    EXPECT_EQ(Read(), VESSIK_OK);
    EXPECT_GT(Sent(vsim::kCmdFind), 0);
    EXPECT_EQ(Sent(patched_code_), 0);
}

TEST_F(PatchedFramesTest, DocumentedReadSendsThePatchedFind)
{
    Present(vsim::sample_card());
    // The patched find never finds: once it has gone out, the reader is
    // pulled, and the documented read gives up.
    std::atomic<bool> done{false};
    std::thread unplug([&] {
        const uint64_t give_up_us = apitest::NowUs() + kWatchBoundUs;
        while (!done.load() && Sent(patched_code_) == 0 && apitest::NowUs() < give_up_us)
            std::this_thread::yield();
        testbus::fail_next("libusb_bulk_transfer", LIBUSB_ERROR_NO_DEVICE, -1);
    });
    idInfo info;
    memset(&info, 0, sizeof info);
    EXPECT_EQ(ReadIDCardLib(&info, CARDTYPE_USB), VESSIK_RESULT_NO_READER);
    done.store(true);
    unplug.join();
    EXPECT_GT(Sent(patched_code_), 0);
    EXPECT_EQ(Sent(vsim::kCmdFind), 0);
}

} // namespace
