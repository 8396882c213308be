// SPDX-License-Identifier: LGPL-2.1-or-later
// Serial link to the reader: raw mode, exact-count reads within a budget.
#include "NvSerial.h"

#include "Public.h"
#include "diag.h"
#include "tty.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

using namespace vessik::diag;
namespace tty = vessik::tty;

namespace {

const int kPauseUs = 1000;       // between read attempts
const int kAnswerBudgetMs = 200; // WorkProcess2Serial waits this long for the answer
const int kMsPerSecond = 1000;
const int kUsPerMs = 1000;

const int kConnectDataBits = 8;
const char kConnectParity = 'N';
const int kConnectStopBits = 1;

// Adds what one read brings to *received; a failed read counts as an empty one.
void readMore(int fd, unsigned char *buf, int wanted, int *received)
{
    const ssize_t got = read(fd, buf + *received, static_cast<size_t>(wanted - *received));
    if (got > 0) {
        *received += static_cast<int>(got);
    }
}

} // namespace

NvSerial::NvSerial() : port_fd(-1) {}

NvSerial::~NvSerial()
{
    DisConnectSerial();
}

int NvSerial::Open_port(const char *path)
{
    const int fd = tty::OpenLine(path, 0);
    if (fd < 0) {
        LOG_Str(kLogOpenPort, kLogOpenPortDetail);
        return -1;
    }
    // Back to blocking mode; with VMIN and VTIME at 0 a read still returns at once.
    if (fcntl(fd, F_SETFL, 0) < 0) {
        LOG_Str(kLogFcntl, kLogFcntlDetail);
        close(fd);
        return -1;
    }
    port_fd = fd;
    return fd;
}

int NvSerial::setport(int fd, int iBaudRate, int iDataSize, char cParity, int iStopBit)
{
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        PutError(kPerrorGetTerminal);
        return -1;
    }
    tty::ClearToRaw(&tio);

    speed_t speed = B0;
    if (!tty::SpeedForRate(iBaudRate, &speed)) {
        PutFormat(kFormatNoBaudRate, iBaudRate);
        return -1;
    }
    tty::SetSpeed(&tio, speed);

    if (!tty::SetDataBits(&tio, iDataSize)) {
        PutFormat(kFormatNoDataSize, iDataSize);
        return -1;
    }
    if (!tty::SetParity(&tio, cParity)) {
        PutFormat(kFormatNoParity, cParity);
        return -1;
    }
    // The record was cleared, so a stop bit count it lacks leaves one.
    if (!tty::SetStopBits(&tio, iStopBit))
        PutFormat(kFormatNoStopBit, iStopBit);

    tcflush(fd, TCIFLUSH);
    if (!tty::Apply(fd, tio)) {
        PutError(kPerrorSetTerminal);
        return -1;
    }
    return 0;
}

int NvSerial::ConnectSerial(const char *path, int speed)
{
    const int fd = Open_port(path);
    if (fd < 0) {
        PutError(kPerrorOpenPort);
        return -1;
    }
    // On failure the port stays recorded in port_fd for DisConnectSerial.
    if (setport(fd, speed, kConnectDataBits, kConnectParity, kConnectStopBits) < 0) {
        PutError(kPerrorSetPort);
        return -1;
    }
    return fd;
}

int NvSerial::ReadSerial(int fd, unsigned char *buf, int wanted, int budget_ms)
{
    if (wanted < 0) {
        return -1;
    }
    const int budget = budget_ms > 0 ? budget_ms : 0;

    // Prepared once: select lowers the time value and empties the set when a wait runs out,
    // so all waits together stay within the budget.
    timeval timeLeft;
    timeLeft.tv_sec = budget / kMsPerSecond;
    timeLeft.tv_usec = static_cast<suseconds_t>(budget % kMsPerSecond) * kUsPerMs;
    fd_set watched;
    FD_ZERO(&watched);
    int watchCount = 0;
    // A descriptor fd_set cannot hold (-1 while no port is open) is not watched; select
    // then only waits out the time.
    if (fd >= 0 && fd < FD_SETSIZE) {
        FD_SET(fd, &watched);
        watchCount = fd + 1;
    }

    int received = 0;
    int passes = 0;
    do {
        while (select(watchCount, &watched, nullptr, nullptr, &timeLeft) < 0 && errno == EINTR) {
        }
        readMore(fd, buf, wanted, &received);
        if (received == wanted) {
            return wanted;
        }
        usleep(kPauseUs);
        ++passes;
    } while (passes < budget);

    PutLine(kLineMcuTimeout);
    return -1;
}

int NvSerial::readserial(int fd, unsigned char *buf, int wanted, int *received, int attempts)
{
    if (wanted < 0) {
        *received = 0;
        return -1;
    }
    int count = 0;
    int tries = 0;
    do {
        readMore(fd, buf, wanted, &count);
        if (count == wanted) {
            *received = count;
            return count;
        }
        usleep(kPauseUs);
        ++tries;
    } while (tries <= attempts);

    *received = count;
    return -1;
}

int NvSerial::WriteSerial(int fd, void *bytes, int count)
{
    if (count <= 0) {
        PutLine(kLineWriteCount);
        return count == 0 ? 0 : -1;
    }
    return static_cast<int>(write(fd, bytes, static_cast<size_t>(count)));
}

int NvSerial::Close_port(int fd)
{
    const int result = close(fd);
    port_fd = -1;
    return result;
}

int NvSerial::WorkProcess2Serial(int fd, unsigned char *bytes, int count, char *answer,
                                 int answer_len)
{
    const int written = WriteSerial(fd, bytes, count);
    if (answer == nullptr) {
        return written;
    }
    // The answer is awaited even when the write failed.
    return ReadSerial(fd, reinterpret_cast<unsigned char *>(answer), answer_len, kAnswerBudgetMs);
}

void NvSerial::DisConnectSerial()
{
    if (port_fd > 0) {
        PutLine(kLineDisconnectSerial);
        Close_port(port_fd);
    }
}

int NvSerial::mystrcat(char *dest, char *src)
{
    if (dest == nullptr || src == nullptr) {
        return 0;
    }
    char *end = dest + strlen(dest);
    while (*src != '\0') {
        *end++ = *src++;
    }
    *end = '\0';
    return 1;
}
