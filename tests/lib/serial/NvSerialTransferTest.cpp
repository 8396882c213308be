// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and writing bytes over the serial link, the test playing the reader on the master
// side of a pseudo-terminal.
#include "NvSerial.h"
#include "PtyFixture.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>

using serialtest::observe;
using serialtest::Outcome;
using testsupport::Readable;

namespace {

const char kTimeoutMessage[] = "timeout from MCU\r\n";
const char kByteCountMessage[] = "write byte number error !\n";
const unsigned char kFill = 0xEE;
const int kAnswerBudgetMs = 200; // what WorkProcess2Serial allows the reader
const long kSlackMs = 150;       // scheduling noise on top of the longest wait by design

const std::string kProbe("\xAA\x00\x03\x00\x00\x03", 6);
const std::string kAnswer("\xAA\x00\x05\x00\x00\x90\x0A\x9F", 8);
const int kAnswerSize = static_cast<int>(kAnswer.size());

void pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Room for the bytes, with guard bytes on both sides to catch stores outside it.
struct GuardedBuffer {
    static const size_t kGuard = 16;
    static const size_t kRoom = 32;
    unsigned char raw[kGuard + kRoom + kGuard];

    GuardedBuffer() { memset(raw, kFill, sizeof(raw)); }
    unsigned char *data() { return raw + kGuard; }
    std::string head(size_t n) const { return std::string(raw + kGuard, raw + kGuard + n); }
    // Nothing outside the first `written` bytes of the room was stored.
    bool untouchedFrom(size_t written) const
    {
        for (size_t i = 0; i < sizeof(raw); ++i) {
            const bool inWritten = i >= kGuard && i < kGuard + written;
            if (!inWritten && raw[i] != kFill) {
                return false;
            }
        }
        return true;
    }
};

std::atomic<int> g_signalsSeen{0};

extern "C" void countSignal(int)
{
    g_signalsSeen.fetch_add(1);
}

// A no-op SIGUSR1 handler without SA_RESTART, so a waiting select fails with EINTR.
class InterruptingHandler {
  public:
    InterruptingHandler()
    {
        g_signalsSeen = 0;
        struct sigaction action {};
        action.sa_handler = countSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous_);
    }
    ~InterruptingHandler() { sigaction(SIGUSR1, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};

// The line raw with reads returning at once, as setport leaves it.
class TransferTest : public serialtest::PtyTest {
  protected:
    void SetUp() override
    {
        serialtest::PtyTest::SetUp();
        ASSERT_EQ(setReadTimer(0), 0);
    }

    // VTIME in tenths of a second: how long a read of a silent line blocks.
    int setReadTimer(cc_t tenths) const
    {
        termios tio{};
        if (tcgetattr(pty().slave(), &tio) != 0) {
            return -1;
        }
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = tenths;
        return tcsetattr(pty().slave(), TCSANOW, &tio);
    }

    Outcome readSerial(GuardedBuffer &buf, int wanted, int budgetMs, int fd = -2)
    {
        const int from = fd == -2 ? pty().slave() : fd;
        return observe([&] { return serial.ReadSerial(from, buf.data(), wanted, budgetMs); });
    }

    Outcome workProcess(int count, char *answer)
    {
        std::string frame = kProbe;
        return observe([&] {
            return serial.WorkProcess2Serial(pty().slave(),
                                             reinterpret_cast<unsigned char *>(&frame[0]), count,
                                             answer, kAnswerSize);
        });
    }

    NvSerial serial;
};

TEST_F(TransferTest, ReadSerialGathersPiecesUntilTheCountIsComplete)
{
    std::thread device([&] {
        pty().send(kAnswer.substr(0, 2), false);
        pause(30);
        pty().send(kAnswer.substr(2, 3), false);
        pause(30);
        pty().send(kAnswer.substr(5) + "\x55", false); // one byte more than wanted
    });
    GuardedBuffer buf;
    const Outcome r = readSerial(buf, kAnswerSize, 500);
    device.join();

    EXPECT_EQ(r.result, kAnswerSize);
    EXPECT_EQ(buf.head(kAnswer.size()), kAnswer);
    EXPECT_TRUE(buf.untouchedFrom(kAnswer.size()));
    EXPECT_LT(r.ms, 500);
    EXPECT_EQ(r.out, "");
    // Only the missing bytes were asked for: the extra one still waits.
    unsigned char extra = 0;
    EXPECT_EQ(read(pty().slave(), &extra, 1), 1);
    EXPECT_EQ(extra, 0x55);
}

TEST_F(TransferTest, ReadSerialTimesOutWithinItsBudgetKeepingPartialBytes)
{
    const int budgetMs = 100;
    pty().send(kAnswer.substr(0, 3));
    GuardedBuffer buf;
    const Outcome r = readSerial(buf, 6, budgetMs);

    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, kTimeoutMessage);
    EXPECT_EQ(buf.head(3), kAnswer.substr(0, 3));
    EXPECT_TRUE(buf.untouchedFrom(3));
    // The select waits use up the budget once; then come one 1 ms pause per ms of budget.
    EXPECT_GE(r.ms, 2 * budgetMs);
    EXPECT_LE(r.ms, 2 * budgetMs + kSlackMs);
}

TEST_F(TransferTest, ReadSerialForNothingReturnsZeroAfterTheFirstWait)
{
    // Both waits and their pauses would take three budgets: a budget of
    // 100 ms leaves a busy machine 100 ms of slack below that.
    const int budgetMs = 100;
    GuardedBuffer buf;
    const Outcome r = readSerial(buf, 0, budgetMs);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_GE(r.ms, budgetMs);
    EXPECT_LT(r.ms, 2 * budgetMs);
    EXPECT_TRUE(buf.untouchedFrom(0));
}

TEST_F(TransferTest, ReadSerialWaitsOnAfterASignal)
{
    const InterruptingHandler handler;
    const pthread_t reader = pthread_self();
    std::thread device([&] {
        pause(30);
        pthread_kill(reader, SIGUSR1);
        pause(30);
        pty().send(kAnswer, false);
    });
    GuardedBuffer buf;
    const Outcome r = readSerial(buf, kAnswerSize, 500);
    device.join();

    EXPECT_EQ(g_signalsSeen.load(), 1);
    EXPECT_EQ(r.result, kAnswerSize);
    EXPECT_EQ(buf.head(kAnswer.size()), kAnswer);
    EXPECT_LT(r.ms, 500);
    EXPECT_EQ(r.out, "");
}

TEST_F(TransferTest, ReadSerialKeepsItsBudgetUnderASignalStorm)
{
    const int budgetMs = 100;
    const long stormCapMs = 2000;
    const InterruptingHandler handler;
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread storm([&] {
        const auto start = std::chrono::steady_clock::now();
        while (!done && serialtest::msSince(start) < stormCapMs) {
            pthread_kill(reader, SIGUSR1);
            pause(5);
        }
    });
    GuardedBuffer buf;
    const Outcome r = readSerial(buf, 4, budgetMs);
    done = true;
    storm.join();

    EXPECT_GT(g_signalsSeen.load(), 5);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, kTimeoutMessage);
    // Signals cut the 1 ms pauses short, so only the budget itself is a floor here.
    EXPECT_GE(r.ms, budgetMs);
    EXPECT_LE(r.ms, 2 * budgetMs + kSlackMs);
    EXPECT_TRUE(buf.untouchedFrom(0));
}

TEST_F(TransferTest, ReadSerialOnABadDescriptorOrCountStoresNothing)
{
    GuardedBuffer buf;
    Outcome r = readSerial(buf, 4, 20, -1); // every select and read fails
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, kTimeoutMessage);
    EXPECT_TRUE(buf.untouchedFrom(0));

    pty().send(kAnswer);
    r = readSerial(buf, -4, 20); // refused before any read
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(buf.untouchedFrom(0));
    EXPECT_TRUE(Readable(pty().slave(), testsupport::kNoWaitMs));
}

// A second, non-blocking descriptor on the line with VMIN 1: while nothing has arrived a
// read fails with EAGAIN; once bytes come it succeeds.
TEST_F(TransferTest, FailedReadsCountAsEmptyOnes)
{
    const int fd = open(pty().path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    tio.c_cc[VMIN] = 1;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    unsigned char probe = 0;
    errno = 0;
    ASSERT_EQ(read(fd, &probe, 1), -1);
    ASSERT_EQ(errno, EAGAIN);

    // ReadSerial: the select wait runs out, then the passes fail until the bytes arrive.
    const int budgetMs = 200;
    std::thread device([&] {
        pause(budgetMs + budgetMs / 2);
        pty().send(kAnswer, false);
    });
    GuardedBuffer buf;
    const Outcome r = readSerial(buf, kAnswerSize, budgetMs, fd);
    device.join();
    EXPECT_EQ(r.result, kAnswerSize);
    EXPECT_EQ(buf.head(kAnswer.size()), kAnswer);
    EXPECT_TRUE(buf.untouchedFrom(kAnswer.size()));

    // readserial likewise, over its attempts.
    std::thread lateDevice([&] {
        pause(50);
        pty().send(kProbe, false);
    });
    GuardedBuffer buf2;
    int received = -1;
    EXPECT_EQ(serial.readserial(fd, buf2.data(), kProbe.size(), &received, 500),
              static_cast<int>(kProbe.size()));
    lateDevice.join();
    EXPECT_EQ(received, static_cast<int>(kProbe.size()));
    EXPECT_EQ(buf2.head(kProbe.size()), kProbe);
    EXPECT_TRUE(buf2.untouchedFrom(kProbe.size()));
    close(fd);
}

TEST_F(TransferTest, ReadserialCollectsOverItsAttemptsSilently)
{
    pty().send(kAnswer.substr(0, 2));
    std::thread device([&] {
        pause(20);
        pty().send(kAnswer.substr(2), false);
    });
    GuardedBuffer buf;
    int received = -1;
    const Outcome r = observe(
        [&] { return serial.readserial(pty().slave(), buf.data(), kAnswerSize, &received, 500); });
    device.join();

    EXPECT_EQ(r.result, kAnswerSize);
    EXPECT_EQ(received, kAnswerSize);
    EXPECT_EQ(buf.head(kAnswer.size()), kAnswer);
    EXPECT_EQ(r.out, "");
}

TEST_F(TransferTest, ReadserialMakesOneReadMorePerFurtherAttempt)
{
    // With VTIME 3 a read of a silent line blocks 300 ms, so elapsed time counts the reads.
    const cc_t readTenths = 3;
    const double readMs = 300.0;
    ASSERT_EQ(setReadTimer(readTenths), 0);
    for (int attempts : {0, 1}) {
        SCOPED_TRACE(attempts);
        GuardedBuffer buf;
        int received = -1;
        const Outcome r = observe(
            [&] { return serial.readserial(pty().slave(), buf.data(), 4, &received, attempts); });
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(received, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::lround(r.ms / readMs), attempts + 1) << r.ms << " ms";
        EXPECT_TRUE(buf.untouchedFrom(0));
    }

    // What the one read brought is kept and counted.
    ASSERT_EQ(setReadTimer(0), 0);
    pty().send(kAnswer.substr(0, 3));
    GuardedBuffer buf;
    int received = -1;
    EXPECT_EQ(serial.readserial(pty().slave(), buf.data(), 5, &received, 0), -1);
    EXPECT_EQ(received, 3);
    EXPECT_EQ(buf.head(3), kAnswer.substr(0, 3));
    EXPECT_TRUE(buf.untouchedFrom(3));

    EXPECT_EQ(serial.readserial(pty().slave(), buf.data(), -1, &received, 0), -1);
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(buf.untouchedFrom(3));
}

TEST_F(TransferTest, WriteSerialSendsAllBytesInOneGo)
{
    std::string frame = kProbe + "\n\r";
    const Outcome r =
        observe([&] { return serial.WriteSerial(pty().slave(), &frame[0], frame.size()); });
    EXPECT_EQ(r.result, static_cast<int>(frame.size()));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(pty().received(), frame);
    EXPECT_EQ(serial.WriteSerial(-1, &frame[0], frame.size()), -1);
}

TEST_F(TransferTest, WriteSerialRefusesABadByteCount)
{
    std::string frame = kProbe;
    // 0 bytes is a no-op reported as 0; a negative count fails the same way with -1.
    for (const int count : {0, -6}) {
        SCOPED_TRACE(count);
        const Outcome r =
            observe([&] { return serial.WriteSerial(pty().slave(), &frame[0], count); });
        EXPECT_EQ(r.result, count == 0 ? 0 : -1);
        EXPECT_EQ(r.out, kByteCountMessage);
    }
    EXPECT_EQ(pty().received(50), "");
}

TEST_F(TransferTest, WorkProcess2SerialWithoutAnswerBufferOnlyWrites)
{
    const Outcome r = workProcess(kProbe.size(), nullptr);
    EXPECT_LT(r.ms, kAnswerBudgetMs);
    EXPECT_EQ(r.result, static_cast<int>(kProbe.size()));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(pty().received(), kProbe);
}

TEST_F(TransferTest, WorkProcess2SerialReturnsTheAnswer)
{
    std::string request;
    std::thread device([&] {
        request = pty().received();
        pty().send(kAnswer, false);
    });
    char answer[16] = {};
    const Outcome r = workProcess(kProbe.size(), answer);
    device.join();

    EXPECT_EQ(request, kProbe);
    EXPECT_EQ(r.result, kAnswerSize);
    EXPECT_EQ(std::string(answer, kAnswer.size()), kAnswer);
    EXPECT_EQ(r.out, "");
}

TEST_F(TransferTest, WorkProcess2SerialWaitsTheAnswerBudgetThenGivesUp)
{
    char answer[16] = {};
    const Outcome r = workProcess(kProbe.size(), answer);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, kTimeoutMessage);
    EXPECT_GE(r.ms, 2 * kAnswerBudgetMs);
    EXPECT_LE(r.ms, 2 * kAnswerBudgetMs + kSlackMs);
}

TEST_F(TransferTest, WorkProcess2SerialReadsTheAnswerEvenWhenNothingWasWritten)
{
    pty().send(kAnswer);
    char answer[16] = {};
    const Outcome r = workProcess(0, answer);
    EXPECT_EQ(r.out, kByteCountMessage);
    EXPECT_EQ(r.result, kAnswerSize);
    EXPECT_EQ(std::string(answer, kAnswer.size()), kAnswer);
}

} // namespace
