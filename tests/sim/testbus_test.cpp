// SPDX-License-Identifier: LGPL-2.1-or-later
// The test USB bus driven through raw libusb calls, as a program linked
// against it instead of libusb-1.0 would make them.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "bus_fixture.h"
#include "sim_host.h"
#include "testbus.h"

namespace {

using simtest::Bytes;

constexpr unsigned kTimeoutMs = 100;
constexpr uint64_t kUsPerMs = 1000;

class TestBus : public testsupport::BusTest {
  protected:
    TestBus() : BusTest(vsim::sample_card()) {}

    // init + open + claim, as a client would.
    libusb_device_handle *open_reader()
    {
        EXPECT_EQ(libusb_init(&ctx), 0);
        libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A);
        EXPECT_NE(h, nullptr);
        if (h != nullptr) {
            EXPECT_EQ(libusb_claim_interface(h, 0), 0);
        }
        return h;
    }

    int out(libusb_device_handle *h, unsigned char ep, const Bytes &data, size_t from, size_t n)
    {
        int done = -1;
        Bytes copy(data.begin() + static_cast<long>(from),
                   data.begin() + static_cast<long>(from + n));
        const int rc =
            libusb_bulk_transfer(h, ep, copy.data(), static_cast<int>(n), &done, kTimeoutMs);
        last_transferred = done;
        return rc;
    }

    // A SAM frame as its two OUT stages; the first failing result, or 0.
    int write_frame(libusb_device_handle *h, const Bytes &frame)
    {
        const int rc = out(h, 0x02, frame, 0, 7);
        return rc != 0 ? rc : out(h, 0x06, frame, 7, frame.size() - 7);
    }

    int in(libusb_device_handle *h, unsigned char ep, Bytes &got, unsigned timeout = kTimeoutMs)
    {
        got.assign(2048, 0);
        int done = -1;
        const int rc = libusb_bulk_transfer(h, ep, got.data(), 2048, &done, timeout);
        got.resize(done > 0 ? static_cast<size_t>(done) : 0);
        last_transferred = done;
        return rc;
    }

    vsim::VirtualReader &reader = reader_;
    libusb_context *ctx = nullptr;
    int last_transferred = -1;
};

TEST_F(TestBus, AClientSessionIsServedAndRecordedAndLeavesNothingOpen)
{
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A);
    libusb_free_device_list(list, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_EQ(libusb_set_configuration(h, 1), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    int config = 0;
    EXPECT_EQ(libusb_get_configuration(h, &config), 0);
    EXPECT_EQ(config, 1);

    EXPECT_EQ(write_frame(h, simtest::kFind), 0);
    EXPECT_EQ(last_transferred, 3);
    Bytes header, body;
    EXPECT_EQ(in(h, 0x81, header), 0);
    EXPECT_EQ(in(h, 0x85, body), 0);
    EXPECT_EQ(header, Bytes({0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08}));
    EXPECT_EQ(body, Bytes({0x00, 0x00, 0x9F, 0x00, 0x00, 0x00, 0x00, 0x97}));

    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    libusb_close(h);
    libusb_exit(ctx);
    testsupport::ExpectBusReleased();
    EXPECT_EQ(testbus::misuse(), 0);

    const std::vector<std::string> names = testbus::call_names();
    ASSERT_EQ(names.size(), 15u);
    EXPECT_EQ(names.front(), "libusb_init");
    EXPECT_EQ(names[8], "libusb_bulk_transfer");
    EXPECT_EQ(names.back(), "libusb_exit");
    const testbus::Call body_in = testbus::calls()[11];
    EXPECT_EQ(body_in.endpoint, 0x85);
    EXPECT_EQ(body_in.transferred, 8);
    EXPECT_EQ(body_in.data, body);
    EXPECT_EQ(testbus::format_call(body_in),
              "libusb_bulk_transfer(ep=0x85 len=2048 timeout=100) -> 0 transferred=8 "
              "[00 00 9F 00 00 00 00 97] @0us");
}

TEST_F(TestBus, LeakCountersSeeWhatAClientForgets)
{
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_get_device_list(ctx, &list);
    libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A);
    EXPECT_EQ(testbus::open_contexts(), 1);
    EXPECT_EQ(testbus::open_handles(), 1);
    EXPECT_EQ(testbus::device_lists_outstanding(), 1);

    libusb_free_device_list(list, 1);
    libusb_free_device_list(list, 1); // twice
    EXPECT_EQ(testbus::device_lists_outstanding(), 0);
    EXPECT_EQ(testbus::misuse(), 1);
}

TEST_F(TestBus, NoReaderOnTheBusMeansNoDeviceToOpen)
{
    testbus::attach(nullptr);
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 0);
    EXPECT_EQ(list[0], nullptr);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A), nullptr);
    EXPECT_EQ(testbus::open_handles(), 0);
}

TEST_F(TestBus, InWithNothingReadyTimesOutAndAdvancesTheClock)
{
    libusb_device_handle *h = open_reader();
    const uint64_t before = testbus::now_us();
    Bytes got;
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(last_transferred, 0);
    EXPECT_EQ(testbus::now_us(), before + kTimeoutMs * kUsPerMs);
}

TEST_F(TestBus, InCompletesWhenTheDataBecomeReadyWithinItsTimeout)
{
    reader.knobs().read_delay_us = 250000;
    libusb_device_handle *h = open_reader();
    Bytes got;
    for (const Bytes &frame : {simtest::kFind, simtest::kSelect}) {
        write_frame(h, frame);
        in(h, 0x81, got);
        in(h, 0x85, got);
    }
    write_frame(h, simtest::kRead);
    const uint64_t sent = testbus::now_us();

    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_TIMEOUT); // 100 ms: too early
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_TIMEOUT); // 200 ms
    EXPECT_EQ(in(h, 0x81, got), 0);                    // ready at 250 ms
    EXPECT_EQ(got.size(), 7u);
    EXPECT_EQ(testbus::now_us(), sent + 250000);
    EXPECT_EQ(in(h, 0x85, got, 0), 0); // 0: no time limit
    EXPECT_EQ(got.size(), 1288u);
    EXPECT_EQ(in(h, 0x85, got, 0), LIBUSB_ERROR_TIMEOUT); // nothing left: no hang
}

TEST_F(TestBus, FaultsAreReportedWithLibusbCodes)
{
    libusb_device_handle *h = open_reader();
    reader.knobs().out_stall = {0x06, 1};
    EXPECT_EQ(write_frame(h, simtest::kFind), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(last_transferred, 0);
    EXPECT_EQ(libusb_clear_halt(h, 0x06), 0);
    EXPECT_EQ(write_frame(h, simtest::kFind), 0);

    reader.knobs().in_partial = {0x85, 1};
    reader.knobs().in_partial_bytes = 2;
    Bytes got;
    EXPECT_EQ(in(h, 0x81, got), 0);
    const uint64_t before = testbus::now_us();
    EXPECT_EQ(in(h, 0x85, got), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(last_transferred, 2); // partial data count even on a timeout
    EXPECT_EQ(got, Bytes({0x00, 0x00}));
    EXPECT_EQ(testbus::now_us(), before + kTimeoutMs * kUsPerMs);

    reader.knobs().claim_error = vsim::UsbStatus::Access;
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_ACCESS);
}

TEST_F(TestBus, UnpluggedReaderAnswersNoDeviceAndLeavesTheBus)
{
    libusb_device_handle *h = open_reader();
    reader.unplug();
    Bytes got;
    EXPECT_EQ(write_frame(h, simtest::kFind), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(h, 0x02), LIBUSB_ERROR_NO_DEVICE);
    int config = 0;
    EXPECT_EQ(libusb_get_configuration(h, &config), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h);
    EXPECT_EQ(testbus::open_handles(), 0);

    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 0);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A), nullptr);
    libusb_exit(ctx);
}

TEST_F(TestBus, KernelDriverIsReportedAndDetachedOnce)
{
    reader.knobs().kernel_driver_active = true;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
}

TEST_F(TestBus, FailNextInjectsLibusbLevelFailures)
{
    testbus::fail_next("libusb_init", LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(testbus::open_contexts(), 0);
    ASSERT_EQ(libusb_init(&ctx), 0); // only the next one

    testbus::fail_next("libusb_get_device_list", LIBUSB_ERROR_IO, 2);
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_get_device_list(ctx, &list), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_free_device_list(list, 1);

    testbus::fail_next("libusb_open_device_with_vid_pid", LIBUSB_ERROR_ACCESS, -1);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A), nullptr);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x0400, 0xC35A), nullptr);
    EXPECT_EQ(reader.counters().out_transfers, 0);
}

TEST_F(TestBus, SleepsAreRecordedOnTheVirtualClockNotSlept)
{
    const auto start = std::chrono::steady_clock::now();
    usleep(900000);
    sleep(2);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_LT(spent, std::chrono::milliseconds(200));
    EXPECT_EQ(testbus::sleeps_us(), std::vector<uint64_t>({900000, 2000000}));
    EXPECT_EQ(testbus::now_us(), 2900000u);

    testbus::set_fast_sleep(false);
    const auto real_start = std::chrono::steady_clock::now();
    usleep(30000);
    EXPECT_GE(std::chrono::steady_clock::now() - real_start, std::chrono::milliseconds(30));
    const std::vector<testbus::Sleep> sleeps = testbus::sleeps();
    ASSERT_EQ(sleeps.size(), 3u);
    EXPECT_TRUE(sleeps[2].real);
    EXPECT_EQ(sleeps[2].at_us, 2900000u);
    testbus::clear_sleeps();
    EXPECT_TRUE(testbus::sleeps_us().empty());
}

TEST_F(TestBus, DeviceListCarriesDescriptorsBusAddressesAndPorts)
{
    const testbus::Device other = testsupport::RootHub(2, {});
    testbus::Device broken = other;
    broken.descriptor_error = LIBUSB_ERROR_IO;
    testbus::Device card_reader;
    card_reader.reader = &reader;
    testbus::set_devices({card_reader, other, broken});

    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 3);
    EXPECT_EQ(testbus::last_device_list(), list);
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &desc), 0);
    EXPECT_EQ(desc.idVendor, 0x0400);
    EXPECT_EQ(desc.idProduct, 0xC35A);
    EXPECT_EQ(libusb_get_bus_number(list[0]), 1);
    EXPECT_EQ(libusb_get_device_address(list[0]), 4);
    uint8_t ports[8] = {};
    EXPECT_EQ(libusb_get_port_numbers(list[0], ports, 8), 2);
    EXPECT_EQ(ports[0], 1);
    EXPECT_EQ(ports[1], 3);
    EXPECT_EQ(libusb_get_port_numbers(list[0], ports, 1), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(libusb_get_port_numbers(list[1], ports, 8), 0);
    EXPECT_EQ(libusb_get_bus_number(list[1]), 2);
    EXPECT_EQ(libusb_get_device_descriptor(list[2], &desc), LIBUSB_ERROR_IO);
    EXPECT_EQ(list[3], nullptr);
    libusb_free_device_list(list, 1);

    libusb_device **own = testbus::device_list();
    EXPECT_EQ(libusb_get_device_address(own[0]), 4);
    EXPECT_EQ(testbus::device_lists_outstanding(), 0); // the bus's own list is not counted
}

TEST_F(TestBus, HandlesFromBeforeAResetAreMisuseNotACrash)
{
    libusb_device_handle *h = open_reader();
    testbus::reset();
    testbus::attach(&reader);
    Bytes got;
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_INVALID_PARAM);
    libusb_close(h);
    libusb_exit(ctx);
    EXPECT_EQ(testbus::misuse(), 3);
    EXPECT_EQ(testbus::open_handles(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
}

TEST_F(TestBus, InFilterRewritesShortensAndDropsStagesTheReaderDelivers)
{
    libusb_device_handle *h = open_reader();
    std::vector<uint8_t> seen_eps;
    testbus::set_in_filter([&](uint8_t ep, std::vector<uint8_t> &stage) {
        seen_eps.push_back(ep);
        if (ep == 0x85 && stage.size() > 2)
            stage[2] = 0x80; // the find now says "no card"
    });
    Bytes header, body;
    write_frame(h, simtest::kFind);
    EXPECT_EQ(in(h, 0x81, header), 0);
    EXPECT_EQ(in(h, 0x85, body), 0);
    EXPECT_EQ(header, Bytes({0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08}));
    EXPECT_EQ(body, Bytes({0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x97}));
    EXPECT_EQ(seen_eps, std::vector<uint8_t>({0x81, 0x85}));
    EXPECT_EQ(testbus::calls().back().data, body); // the log shows what was delivered

    testbus::set_in_filter([](uint8_t ep, std::vector<uint8_t> &stage) {
        if (ep == 0x81)
            stage.resize(3);
        else
            stage.clear();
    });
    write_frame(h, simtest::kFind);
    EXPECT_EQ(in(h, 0x81, header), 0);
    EXPECT_EQ(header, Bytes({0xAA, 0xAA, 0xAA}));
    const uint64_t before = testbus::now_us();
    EXPECT_EQ(in(h, 0x85, body), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(last_transferred, 0);
    EXPECT_EQ(testbus::now_us(), before + kTimeoutMs * kUsPerMs);
}

TEST_F(TestBus, InFilterScriptsAnswersTheReaderNeverGave)
{
    libusb_device_handle *h = open_reader();
    testbus::set_in_filter([](uint8_t, std::vector<uint8_t> &stage) {
        if (stage.empty())
            stage.assign(3000, 0xEE); // more than the 2048 bytes asked for
    });
    const uint64_t before = testbus::now_us();
    Bytes got;
    EXPECT_EQ(in(h, 0x85, got), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(got, Bytes(2048, 0xEE));
    EXPECT_EQ(testbus::now_us(), before); // delivered at once, no timeout spent

    testbus::set_in_filter([](uint8_t, std::vector<uint8_t> &stage) {
        if (stage.empty())
            stage = {0x01, 0x02};
    });
    EXPECT_EQ(in(h, 0x81, got), 0);
    EXPECT_EQ(got, Bytes({0x01, 0x02}));
}

TEST_F(TestBus, InFilterLeavesFaultsAloneUnlessItChangesTheStage)
{
    libusb_device_handle *h = open_reader();
    int filtered = 0;
    testbus::set_in_filter([&](uint8_t, std::vector<uint8_t> &) { ++filtered; });
    reader.knobs().in_partial = {0x85, 1};
    reader.knobs().in_partial_bytes = 2;
    write_frame(h, simtest::kFind);
    Bytes got;
    EXPECT_EQ(in(h, 0x81, got), 0);
    EXPECT_EQ(in(h, 0x85, got), LIBUSB_ERROR_TIMEOUT); // untouched: still partial
    EXPECT_EQ(last_transferred, 2);
    EXPECT_EQ(filtered, 2);

    testbus::fail_next("libusb_bulk_transfer", LIBUSB_ERROR_IO);
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_IO);
    reader.unplug();
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(filtered, 2); // neither reached the filter

    reader.replug();
    testbus::set_in_filter([](uint8_t, std::vector<uint8_t> &stage) { stage.assign(5, 1); });
    testbus::reset();
    testbus::attach(&reader);
    h = open_reader();
    EXPECT_EQ(in(h, 0x81, got), LIBUSB_ERROR_TIMEOUT); // reset() switched it off
}

TEST_F(TestBus, RecycleFreesClosedObjectsAndKeepsOpenOnes)
{
    testbus::recycle(); // what earlier tests left behind
    const size_t baseline = testbus::retained_objects();
    for (int i = 0; i < 5; ++i) {
        libusb_device_handle *h = open_reader();
        libusb_release_interface(h, 0);
        libusb_close(h);
        libusb_exit(ctx);
    }
    EXPECT_EQ(testbus::retained_objects(), baseline + 10);
    EXPECT_EQ(testbus::recycle(), 10u);
    EXPECT_EQ(testbus::retained_objects(), baseline);

    libusb_device_handle *kept = open_reader();
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    testbus::attach(nullptr); // the reader's device leaves the bus, still named by both
    EXPECT_EQ(testbus::recycle(), 0u);
    Bytes got;
    EXPECT_EQ(in(kept, 0x81, got), LIBUSB_ERROR_NO_DEVICE); // still a valid handle
    libusb_device_descriptor desc{};
    EXPECT_EQ(libusb_get_device_descriptor(list[0], &desc), 0);
    libusb_free_device_list(list, 1);
    libusb_close(kept);
    libusb_exit(ctx);
    EXPECT_EQ(testbus::recycle(), 4u); // context, handle, list and the device
    EXPECT_EQ(testbus::misuse(), 0);
}

} // namespace
