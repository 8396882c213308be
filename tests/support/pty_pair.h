// SPDX-License-Identifier: LGPL-2.1-or-later
// A pseudo-terminal pair: the code under test drives the slave side (or
// opens it by path, as it would /dev/ttyUSB0); the test is the device on
// the master side.
#ifndef VESSIK_TESTS_SUPPORT_PTY_PAIR_H
#define VESSIK_TESTS_SUPPORT_PTY_PAIR_H

#include <string>
#include <termios.h>

namespace testsupport {

constexpr int kNoWaitMs = 0;
constexpr int kArrivalWaitMs = 1000; // generous: pty bytes cross a kernel work queue

// True when `fd` has bytes to read within `wait_ms`.
bool Readable(int fd, int wait_ms);

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const char *path() const { return path_; }

    // The device goes away: the master side closes.
    void CloseMaster();
    // The slave side passes to whoever closes it (the code under test).
    int ReleaseSlave();

    // The line's attributes as the kernel keeps them, read from the device side.
    termios line() const;

    // Sends bytes and, unless told otherwise, waits until the slave can read them.
    void send(const std::string &bytes, bool wait_arrival = true) const;

    // Everything the device has received, waiting up to wait_ms for the first bytes.
    std::string received(int wait_ms = kArrivalWaitMs) const;

  private:
    int master_ = -1;
    int slave_ = -1;
    char path_[128] = {};
};

} // namespace testsupport

#endif
