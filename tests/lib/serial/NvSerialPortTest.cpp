// SPDX-License-Identifier: LGPL-2.1-or-later
// Opening, configuring and closing the serial port, checked on real pseudo-terminals.
#include "NvSerial.h"
#include "PtyFixture.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/wait.h>

using serialtest::isOpen;
using serialtest::observe;
using serialtest::Outcome;
using testsupport::Readable;

namespace {

const char kMissingDevice[] = "/nonexistent/ttyVESSIK0";
const char kDisconnected[] = "disconnect serial\r\n";
const tcflag_t kCookedLocalFlags = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;

// DisConnectSerial on a port that is open: says so, closes it and forgets it.
void ExpectDisconnectClosesThePort(NvSerial &serial, int fd)
{
    const Outcome r = observe([&] {
        serial.DisConnectSerial();
        return isOpen(fd);
    });
    EXPECT_EQ(r.out, kDisconnected);
    EXPECT_FALSE(r.result);
    EXPECT_EQ(serial.port_fd, -1);
}

// Leaves the line cooked and full of settings that setport has to drop.
void dirtyLine(int fd)
{
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    tio.c_lflag |= kCookedLocalFlags;
    tio.c_iflag |= ICRNL | IXON;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_cflag |= CSTOPB | PARODD;
    tio.c_cc[VMIN] = 3;
    tio.c_cc[VTIME] = 5;
    cfsetspeed(&tio, B1200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
}

bool sameLine(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

bool odd(const termios &tio)
{
    return (tio.c_cflag & PARODD) != 0;
}

bool twoStop(const termios &tio)
{
    return (tio.c_cflag & CSTOPB) != 0;
}

std::string withErrno(const std::string &text, int error)
{
    return text + ": " + strerror(error) + "\n";
}

using SetportTest = serialtest::PtyTest;

TEST_F(SetportTest, AppliesEverySpeedOfTheTableForInputAndOutput)
{
    const struct {
        int rate;
        speed_t code;
    } speeds[] = {{2400, B2400},     {4800, B4800},     {9600, B9600},
                  {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}};
    NvSerial serial;
    for (const auto &s : speeds) {
        SCOPED_TRACE(s.rate);
        EXPECT_EQ(serial.setport(pty().slave(), s.rate, 8, 'N', 1), 0);
        const termios line = pty().line();
        EXPECT_EQ(cfgetispeed(&line), s.code);
        EXPECT_EQ(cfgetospeed(&line), s.code);
    }
    EXPECT_EQ(serial.port_fd, -1);
}

TEST_F(SetportTest, PutsACookedLineIntoRawMode)
{
    dirtyLine(pty().slave());
    NvSerial serial;
    const Outcome r = observe([&] { return serial.setport(pty().slave(), 9600, 8, 'N', 1); });
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out + r.err, "");

    const termios line = pty().line();
    EXPECT_EQ(line.c_lflag & kCookedLocalFlags, 0u);
    EXPECT_EQ(line.c_iflag, 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 0);

    // On the wire: no echo of what comes in, and a line feed goes out as it is.
    pty().send("z");
    ASSERT_EQ(write(pty().slave(), "a\nb", 3), 3);
    EXPECT_EQ(pty().received(), "a\nb");
}

// The pty driver forces 8-bit characters and drops parity enable on every change, so the
// device side can check the parity sense (PARODD) and the stop bits, not CS7 or PARENB.
TEST_F(SetportTest, SetsParitySenseAndStopBits)
{
    const struct {
        int dataSize;
        char parity;
        int stopBits;
        bool odd;
        bool twoStop;
    } formats[] = {{8, 'O', 2, true, true},  {7, 'E', 1, false, false}, {7, 'O', 1, true, false},
                   {8, 'N', 2, false, true}, {7, 'N', 1, false, false}, {8, 'E', 2, false, true}};
    NvSerial serial;
    for (const auto &f : formats) {
        SCOPED_TRACE(std::to_string(f.dataSize) + f.parity + std::to_string(f.stopBits));
        EXPECT_EQ(serial.setport(pty().slave(), 19200, f.dataSize, f.parity, f.stopBits), 0);
        EXPECT_EQ(odd(pty().line()), f.odd);
        EXPECT_EQ(twoStop(pty().line()), f.twoStop);
    }
}

TEST_F(SetportTest, RejectsUnknownSettingsWithoutTouchingTheLine)
{
    const struct {
        int rate;
        int dataSize;
        char parity;
        const char *message;
    } cases[] = {{1200, 8, 'N', "donot exist iBaudRate 1200!\n"},
                 {115200, 6, 'N', "donot exist iDataSize 6\n"},
                 {115200, 9, 'E', "donot exist iDataSize 9\n"},
                 {115200, 8, 'n', "donot exist cParity n !\n"},
                 {115200, 7, 'S', "donot exist cParity S !\n"}};
    dirtyLine(pty().slave());
    pty().send("xy\n"); // pending input shows whether the line was flushed
    const termios before = pty().line();

    NvSerial serial;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome r =
            observe([&] { return serial.setport(pty().slave(), c.rate, c.dataSize, c.parity, 1); });
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.out, c.message);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sameLine(pty().line(), before));
        EXPECT_TRUE(Readable(pty().slave(), testsupport::kNoWaitMs));
    }
}

TEST_F(SetportTest, UnknownStopBitsWarnAndFallBackToOne)
{
    NvSerial serial;
    ASSERT_EQ(serial.setport(pty().slave(), 9600, 8, 'N', 2), 0);
    ASSERT_TRUE(twoStop(pty().line()));

    const Outcome r = observe([&] { return serial.setport(pty().slave(), 38400, 8, 'O', 3); });
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "donot exist iStopBit 3\n");
    const termios line = pty().line();
    EXPECT_FALSE(twoStop(line));
    EXPECT_TRUE(odd(line));
    EXPECT_EQ(cfgetospeed(&line), B38400);
}

TEST_F(SetportTest, DiscardsInputThatArrivedBefore)
{
    termios tio{};
    ASSERT_EQ(tcgetattr(pty().slave(), &tio), 0);
    cfmakeraw(&tio);
    ASSERT_EQ(tcsetattr(pty().slave(), TCSANOW, &tio), 0);
    pty().send("stale");

    NvSerial serial;
    ASSERT_EQ(serial.setport(pty().slave(), 115200, 8, 'N', 1), 0);
    EXPECT_FALSE(Readable(pty().slave(), testsupport::kNoWaitMs));

    pty().send("new");
    char got[8] = {};
    EXPECT_EQ(read(pty().slave(), got, sizeof(got)), 3);
    EXPECT_STREQ(got, "new");
}

TEST_F(SetportTest, ReportsADescriptorThatIsNoTerminal)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    NvSerial serial;
    const Outcome r = observe([&] { return serial.setport(ends[0], 9600, 8, 'N', 1); });
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, withErrno("Cannot get old terminal description", ENOTTY));
}

using PortTest = serialtest::PtyTest;

TEST_F(PortTest, OpenPortGivesABlockingReadWriteDescriptor)
{
    NvSerial serial;
    Outcome r = observe([&] { return serial.Open_port(pty().path()); });
    const int fd = r.result;
    ASSERT_GE(fd, 0);
    EXPECT_EQ(serial.port_fd, fd);
    EXPECT_EQ(r.out + r.err, "");
    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(flags & O_NONBLOCK, 0);

    // A device that is not there leaves the port already recorded, silently.
    r = observe([&] { return serial.Open_port(kMissingDevice); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(serial.port_fd, fd);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(serial.Close_port(fd), 0);
}

TEST_F(PortTest, OpenPortDoesNotTakeTheLineAsControllingTerminal)
{
    // Only a session leader without a terminal can acquire one, so try it in a child.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();
        NvSerial serial;
        const int fd = serial.Open_port(pty().path());
        _exit(fd >= 0 && tcgetsid(fd) == -1 && errno == ENOTTY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(PortTest, ConnectSerialOpensAtTheSpeedWithEightNoneOne)
{
    dirtyLine(pty().slave());
    NvSerial serial;
    const Outcome r = observe([&] { return serial.ConnectSerial(pty().path(), 57600); });
    ASSERT_GE(r.result, 0);
    EXPECT_EQ(serial.port_fd, r.result);
    EXPECT_EQ(r.out + r.err, "");

    const termios line = pty().line();
    EXPECT_EQ(cfgetispeed(&line), B57600);
    EXPECT_EQ(cfgetospeed(&line), B57600);
    EXPECT_FALSE(odd(line));
    EXPECT_FALSE(twoStop(line));
    EXPECT_EQ(line.c_lflag & ICANON, 0u);
    EXPECT_EQ(serial.Close_port(r.result), 0);
}

TEST_F(PortTest, ConnectSerialFailures)
{
    NvSerial serial;
    Outcome r = observe([&] { return serial.ConnectSerial(kMissingDevice, 9600); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, withErrno("Open_port error!", ENOENT));
    EXPECT_EQ(serial.port_fd, -1);

    // Settings that fail leave the port open and recorded, for DisConnectSerial to close.
    r = observe([&] { return serial.ConnectSerial(pty().path(), 1200); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "donot exist iBaudRate 1200!\n");
    EXPECT_EQ(r.err.rfind("set_port error !\n: ", 0), 0u) << r.err;
    const int fd = serial.port_fd;
    ASSERT_TRUE(isOpen(fd));
    ExpectDisconnectClosesThePort(serial, fd);
}

TEST_F(PortTest, ClosePortForgetsThePortWhateverItClosed)
{
    NvSerial serial;
    const int port = serial.Open_port(pty().path());
    ASSERT_GE(port, 0);
    const int other = dup(pty().slave());
    ASSERT_GE(other, 0);

    EXPECT_EQ(serial.Close_port(other), 0);
    EXPECT_EQ(serial.port_fd, -1);
    EXPECT_FALSE(isOpen(other));
    EXPECT_TRUE(isOpen(port));

    serial.port_fd = port;
    errno = 0;
    EXPECT_EQ(serial.Close_port(-1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(serial.port_fd, -1);
    EXPECT_TRUE(isOpen(port));
    close(port);
}

TEST_F(PortTest, DisConnectSerialClosesOnlyAnOpenPort)
{
    NvSerial serial;
    const auto disconnect = [&] {
        serial.DisConnectSerial();
        return serial.port_fd;
    };
    Outcome r = observe(disconnect);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out + r.err, "");

    serial.port_fd = 0; // descriptor 0 counts as not open: standard input is left alone
    r = observe(disconnect);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out + r.err, "");
    serial.port_fd = -1;

    const int fd = serial.Open_port(pty().path());
    ASSERT_GE(fd, 0);
    ExpectDisconnectClosesThePort(serial, fd);
    EXPECT_EQ(observe(disconnect).out, "");
}

TEST_F(PortTest, DestroyingTheObjectClosesItsPort)
{
    int fd = -1;
    const Outcome r = observe([&] {
        {
            NvSerial serial;
            fd = serial.Open_port(pty().path());
        }
        return isOpen(fd);
    });
    ASSERT_GE(fd, 0);
    EXPECT_EQ(r.out, kDisconnected);
    EXPECT_FALSE(r.result);
}

TEST(MystrcatTest, AppendsAfterTheEndOrRefusesNull)
{
    NvSerial serial;
    char dest[8];
    memset(dest, 'x', sizeof(dest));
    strcpy(dest, "ab");
    char cd[] = "cd";
    char empty[] = "";

    EXPECT_EQ(serial.mystrcat(dest, cd), 1);
    EXPECT_STREQ(dest, "abcd");
    EXPECT_EQ(dest[5], 'x');
    EXPECT_EQ(serial.mystrcat(dest, empty), 1);
    EXPECT_STREQ(dest, "abcd");
    EXPECT_EQ(serial.mystrcat(dest, nullptr), 0);
    EXPECT_STREQ(dest, "abcd");
    EXPECT_EQ(serial.mystrcat(nullptr, cd), 0);
}

} // namespace
