// SPDX-License-Identifier: LGPL-2.1-or-later
// A serial line as a device: open, rates, the raw record.
#include "tty.h"

#include <cstring>
#include <fcntl.h>

namespace vessik {
namespace tty {
namespace {

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK;
// With parity on, the line always carries 8-bit characters.
constexpr tcflag_t kParityCharSize = CS8;
constexpr int kNoModuleCode = -1;

struct RateEntry {
    int rate;
    speed_t speed;
    int module_code; // of 60 xx, or kNoModuleCode
};

constexpr RateEntry kRates[] = {
    {2400, B2400, kNoModuleCode},
    {4800, B4800, kNoModuleCode},
    {9600, B9600, 0x04},
    {19200, B19200, 0x03},
    {38400, B38400, 0x02},
    {57600, B57600, 0x01},
    {115200, B115200, 0x00},
    {230400, B230400, kNoModuleCode},
    {460800, B460800, kNoModuleCode},
};

const RateEntry *FindRate(int rate)
{
    for (const RateEntry &entry : kRates) {
        if (entry.rate == rate)
            return &entry;
    }
    return nullptr;
}

} // namespace

int OpenLine(const char *path, int extra_flags)
{
    return open(path, kOpenFlags | extra_flags);
}

bool SpeedForRate(int rate, speed_t *speed)
{
    const RateEntry *entry = FindRate(rate);
    if (entry == nullptr)
        return false;
    *speed = entry->speed;
    return true;
}

bool ModuleRateCode(int rate, unsigned char *code)
{
    const RateEntry *entry = FindRate(rate);
    if (entry == nullptr || entry->module_code == kNoModuleCode)
        return false;
    *code = static_cast<unsigned char>(entry->module_code);
    return true;
}

int FastestModuleRate()
{
    int fastest = 0;
    for (const RateEntry &entry : kRates) {
        if (entry.module_code != kNoModuleCode && entry.rate > fastest)
            fastest = entry.rate;
    }
    return fastest;
}

int ModuleRates(int *rates, int room)
{
    static_assert(sizeof kRates / sizeof kRates[0] <= kRatesMax, "kRatesMax holds the table");
    int count = 0;
    for (const RateEntry &entry : kRates) {
        if (entry.module_code != kNoModuleCode && count < room)
            rates[count++] = entry.rate;
    }
    return count;
}

void ClearToRaw(termios *tio)
{
    memset(tio, 0, sizeof(*tio));
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cc[VTIME] = 0;
    tio->c_cc[VMIN] = 0;
}

void SetSpeed(termios *tio, speed_t speed)
{
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
}

bool SetDataBits(termios *tio, int data_bits)
{
    tio->c_cflag &= ~CSIZE;
    if (data_bits == 7) {
        tio->c_cflag |= CS7;
    } else if (data_bits == 8) {
        tio->c_cflag |= CS8;
    } else {
        return false;
    }
    return true;
}

bool SetParity(termios *tio, char parity)
{
    switch (parity) {
    case 'N':
        tio->c_cflag &= ~PARENB;
        return true;
    case 'O':
        tio->c_cflag |= PARENB | PARODD | kParityCharSize;
        return true;
    case 'E':
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~PARODD;
        tio->c_cflag |= kParityCharSize;
        return true;
    default:
        return false;
    }
}

bool SetStopBits(termios *tio, int stop_bits)
{
    if (stop_bits == 1) {
        tio->c_cflag &= ~CSTOPB;
    } else if (stop_bits == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        return false;
    }
    return true;
}

bool Apply(int fd, const termios &tio)
{
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace tty
} // namespace vessik
