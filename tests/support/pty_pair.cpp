// SPDX-License-Identifier: LGPL-2.1-or-later
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace testsupport {

bool Readable(int fd, int wait_ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, wait_ms) == 1 && (p.revents & POLLIN) != 0;
}

PtyPair::PtyPair()
{
    if (openpty(&master_, &slave_, path_, nullptr, nullptr) != 0)
        master_ = slave_ = -1;
}

PtyPair::~PtyPair()
{
    if (slave_ >= 0)
        close(slave_);
    CloseMaster();
}

void PtyPair::CloseMaster()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

int PtyPair::ReleaseSlave()
{
    const int fd = slave_;
    slave_ = -1;
    return fd;
}

termios PtyPair::line() const
{
    termios tio{};
    EXPECT_EQ(tcgetattr(master_, &tio), 0);
    return tio;
}

void PtyPair::send(const std::string &bytes, bool wait_arrival) const
{
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (wait_arrival) {
        ASSERT_TRUE(Readable(slave_, kArrivalWaitMs));
    }
}

std::string PtyPair::received(int wait_ms) const
{
    std::string got;
    char chunk[256];
    ssize_t n = 0;
    while (Readable(master_, got.empty() ? wait_ms : kNoWaitMs) &&
           (n = read(master_, chunk, sizeof(chunk))) > 0)
        got.append(chunk, static_cast<size_t>(n));
    return got;
}

} // namespace testsupport
