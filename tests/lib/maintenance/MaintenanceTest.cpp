// SPDX-License-Identifier: LGPL-2.1-or-later
// heartbeat, self_check, HasCard and ICCard against the reader's controller:
// over USB through the test bus, and over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <libusb.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CardMain.h"
#include "bus_fixture.h"
#include "output_capture.h"
#include "pty_pair.h"
#include "testbus.h"
#include "virtual_reader.h"

using testsupport::BulkCalls;
using testsupport::Capture;

namespace {

const std::vector<uint8_t> kProbe = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
const std::vector<uint8_t> kRestart = {0xAA, 0x00, 0x03, 0xF0, 0x00, 0xF3};
const std::string kWriteFailed = "Failed to write data.Enabling read/write reset\n";

class UsbMaintenanceTest : public testsupport::BusTest {
  protected:
    void SetUp() override
    {
        BusTest::SetUp();
        int rc = -2;
        Capture([&] { rc = main_.usb.ConnectUsb(); });
        ASSERT_EQ(rc, 0);
        testbus::clear_calls();
        testbus::clear_sleeps();
    }
    void TearDown() override
    {
        Capture([&] { main_.usb.DisConnectUsb(); });
        BusTest::TearDown();
    }

    CardMain main_;
};

TEST_F(UsbMaintenanceTest, HeartbeatAnsweredAtOnceSendsOneProbe)
{
    int rc = -1;
    const testsupport::Output o = Capture([&] { rc = main_.heartbeat(CARDTYPE_USB); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(testbus::sleeps_us(), std::vector<uint64_t>{1000});
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 3u);
    EXPECT_EQ(bulk[0].endpoint, 0x02);
    EXPECT_EQ(bulk[0].data, kProbe);
    EXPECT_EQ(bulk[1].endpoint, 0x81);
    EXPECT_EQ(bulk[1].timeout_ms, 50u);
    EXPECT_EQ(bulk[2].endpoint, 0x85);
}

TEST_F(UsbMaintenanceTest, HeartbeatAnsweredOnlyAtTheSecondProbeTakesTwoRounds)
{
    reader_.knobs().controller_answers_probe = 2;
    EXPECT_EQ(main_.heartbeat(CARDTYPE_USB), 1);
    EXPECT_EQ(reader_.counters().probes, 2);
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 6u); // write, two read stages; twice
    EXPECT_EQ(bulk[3].endpoint, 0x02);
}

TEST_F(UsbMaintenanceTest, HeartbeatWhoseWritesAllFailResetsThreeTimes)
{
    reader_.knobs().mcu_write_stalls = -1;
    int rc = -1;
    const testsupport::Output o = Capture([&] { rc = main_.heartbeat(CARDTYPE_USB); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(o.out, kWriteFailed + kWriteFailed + kWriteFailed);
    EXPECT_EQ(reader_.counters().device_resets, 3);
}

TEST_F(UsbMaintenanceTest, HeartbeatOfASilentReaderGivesUpAfterThreeProbes)
{
    reader_.knobs().controller_silent = true;
    const uint64_t before = testbus::now_us();
    EXPECT_EQ(main_.heartbeat(CARDTYPE_USB), 0);
    EXPECT_EQ(reader_.counters().probes, 3);
    // 1 ms settle, then three reads of two 50 ms stages each.
    EXPECT_EQ(testbus::now_us() - before, 1000u + 3 * 2 * 50000u);
}

TEST_F(UsbMaintenanceTest, HeartbeatOfAnotherKindSendsNothing)
{
    EXPECT_EQ(main_.heartbeat(static_cast<Cardtype>(2)), 0);
    EXPECT_TRUE(testbus::calls().empty());
    EXPECT_EQ(testbus::sleeps_us(), std::vector<uint64_t>{1000});
}

TEST_F(UsbMaintenanceTest, SelfCheckThatHearsTheReaderSendsNoRestart)
{
    const testsupport::Output o = Capture([&] { main_.self_check(); });
    EXPECT_EQ(o.out, "Data detected successfully\n");
    EXPECT_EQ(reader_.counters().restarts, 0);
    EXPECT_EQ(testbus::sleeps_us(), (std::vector<uint64_t>{1000, 1000}));
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_GE(bulk.size(), 2u);
    EXPECT_EQ(bulk[1].timeout_ms, 2000u);
}

TEST_F(UsbMaintenanceTest, SelfCheckOfASilentReaderSendsTheRestartFrameQuietly)
{
    reader_.knobs().controller_silent = true;
    const testsupport::Output o = Capture([&] { main_.self_check(); });
    EXPECT_EQ(o.out, "");
    const std::vector<testbus::Call> bulk = BulkCalls();
    ASSERT_EQ(bulk.size(), 6u);
    EXPECT_EQ(bulk[0].data, kProbe);
    EXPECT_EQ(bulk[3].endpoint, 0x02);
    EXPECT_EQ(bulk[3].data, kRestart);
    EXPECT_EQ(bulk[4].timeout_ms, 1000u);
    EXPECT_EQ(reader_.counters().restarts, 1);
}

TEST_F(UsbMaintenanceTest, HasCardClassifiesEventFramesByLengthAndKind)
{
    struct Case {
        int frame_class;
        int length;
    };
    for (const Case c : {Case{5, 26}, Case{1, 12}, Case{4, 41}, Case{3, 39}, Case{2, 25}}) {
        SCOPED_TRACE(c.frame_class);
        ASSERT_TRUE(reader_.emit_event(c.frame_class, 0x07, {0x11, 0x22}, testbus::now_us()));
        unsigned char reply[2048] = {};
        int reply_len = 0;
        int unused_len = 0;
        EXPECT_EQ(main_.HasCard(reply, reply_len, nullptr, unused_len), c.frame_class);
        EXPECT_EQ(reply_len, c.length);
        EXPECT_EQ(reply[0], 0xAA);
    }
}

TEST_F(UsbMaintenanceTest, HasCardWithNothingToHearWaitsAndReturnsZero)
{
    unsigned char reply[2048] = {};
    int reply_len = 99;
    int unused_len = 0;
    const uint64_t before = testbus::now_us();
    EXPECT_EQ(main_.HasCard(reply, reply_len, nullptr, unused_len), 0);
    EXPECT_EQ(reply_len, 0);
    EXPECT_EQ(testbus::now_us() - before, 2 * 10000000u);
}

TEST_F(UsbMaintenanceTest, HasCardTreatsAProbeAnswerAsNoEvent)
{
    // The controller's status answer is a frame, but of no event class.
    unsigned char probe[6];
    memcpy(probe, kProbe.data(), sizeof(probe));
    main_.usb.WriteUsb(probe, 6);
    unsigned char reply[2048] = {};
    int reply_len = 0;
    int unused_len = 0;
    EXPECT_EQ(main_.HasCard(reply, reply_len, nullptr, unused_len), 0);
    EXPECT_EQ(reply_len, static_cast<int>(vsim::mcu_status_frame().size()));
}

TEST(MaintenanceWithoutLink, EveryMemberFailsGently)
{
    testbus::reset();
    CardMain m;
    int rc = -1;
    const testsupport::Output o = Capture([&] { rc = m.heartbeat(CARDTYPE_USB); });
    EXPECT_EQ(rc, 0);
    const std::string round = kWriteFailed + "dev_handle == NULL\r\n";
    EXPECT_EQ(o.out, round + round + round);

    const testsupport::Output check = Capture([&] { m.self_check(); });
    EXPECT_EQ(check.out, "dev_handle == NULL\r\ndev_handle == NULL\r\n");

    unsigned char reply[2048];
    int reply_len = 0;
    int unused_len = 0;
    Capture([&] { rc = m.HasCard(reply, reply_len, nullptr, unused_len); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(reply_len, -1);

    EXPECT_EQ(m.heartbeat(CARDTYPE_SERIAL), 0); // no port open
    EXPECT_TRUE(testbus::calls().empty());
}

TEST(ICCard, HandsOutTheSingleByteAndTheData)
{
    CardMain m;
    unsigned char frame[64] = {0xAA, 0x00, 0x0B, 0x03, 0x04, 0x00, 0x07, 0x02, 0x11, 0x22};
    unsigned char single = 0;
    unsigned char data[255];
    memset(data, 0xEE, sizeof(data));
    EXPECT_TRUE(m.ICCard(frame, &single, 0, data));
    EXPECT_EQ(single, 0x07);
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[1], 0x22);
    EXPECT_EQ(data[2], 0xEE);

    frame[7] = 0;
    memset(data, 0xEE, sizeof(data));
    single = 0;
    EXPECT_TRUE(m.ICCard(frame, &single, 0, data));
    EXPECT_EQ(single, 0x07);
    EXPECT_EQ(data[0], 0xEE);
}

TEST(ICCard, RefusesFramesThatAreNoEventFrame)
{
    CardMain m;
    unsigned char data[255];
    for (const std::pair<int, unsigned char> &damage :
         {std::pair<int, unsigned char>{3, 0x01}, {0, 0x55}}) {
        unsigned char frame[16] = {0xAA, 0x00, 0x0B, 0x03, 0x04, 0x00, 0x07, 0x02, 0x11, 0x22};
        frame[damage.first] = damage.second;
        unsigned char single = 0x5A;
        memset(data, 0xEE, sizeof(data));
        EXPECT_FALSE(m.ICCard(frame, &single, 0, data));
        EXPECT_EQ(single, 0x5A);
        EXPECT_EQ(data[0], 0xEE);
    }
    unsigned char single = 0;
    EXPECT_FALSE(m.ICCard(nullptr, &single, 0, data));
}

// The controller of the virtual reader behind the master side of a pty.
class SerialController {
  public:
    // The reader object under test closes the slave side it is given.
    explicit SerialController(vsim::VirtualReader &reader) : reader_(reader)
    {
        if (pty_.ok())
            thread_ = std::thread([this] { Serve(); });
        slave_ = pty_.ReleaseSlave();
    }
    ~SerialController()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int slave() const { return slave_; }
    // Runs `fn` on the model while the serving thread keeps off it.
    template <typename Fn> void WithReader(Fn fn)
    {
        std::lock_guard<std::mutex> lock(mu_);
        fn(reader_);
    }

  private:
    void Serve()
    {
        uint64_t now = 0;
        while (!stop_) {
            if (!testsupport::Readable(pty_.master(), kServeSliceMs))
                continue;
            unsigned char buf[64];
            const ssize_t n = read(pty_.master(), buf, sizeof(buf));
            if (n <= 0)
                continue;
            std::vector<uint8_t> answer;
            WithReader([&](vsim::VirtualReader &r) {
                answer = r.serial_write(buf, static_cast<int>(n), now);
            });
            if (!answer.empty() && write(pty_.master(), answer.data(), answer.size()) < 0)
                return;
        }
    }

    static constexpr int kServeSliceMs = 20;

    std::mutex mu_;
    vsim::VirtualReader &reader_;
    testsupport::PtyPair pty_;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SerialHeartbeat, ControllerBehindAPtyAnswersTheProbe)
{
    testbus::reset();
    vsim::VirtualReader reader;
    SerialController controller(reader);
    ASSERT_GE(controller.slave(), 0);
    CardMain m;
    ASSERT_EQ(m.serial.setport(controller.slave(), 115200, 8, 'N', 1), 0);
    m.serial.port_fd = controller.slave();
    EXPECT_EQ(m.heartbeat(CARDTYPE_SERIAL), 1);
    controller.WithReader([](vsim::VirtualReader &r) {
        EXPECT_EQ(r.counters().probes, 1);
        r.knobs().controller_silent = true;
    });
    int rc = -1;
    const testsupport::Output o = Capture([&] { rc = m.heartbeat(CARDTYPE_SERIAL); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(o.out, "timeout from MCU\r\n");
    // The reader object closes the port it was given when it goes away.
    Capture([&] { m.serial.DisConnectSerial(); });
    EXPECT_EQ(m.serial.port_fd, -1);
}

} // namespace
