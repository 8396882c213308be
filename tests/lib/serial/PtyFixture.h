// Shared pieces of the serial tests: a pseudo-terminal whose master side plays the reader,
// a timed call with its output captured, and a descriptor count for leak checks.
#ifndef VESSIK_TESTS_PTY_FIXTURE_H
#define VESSIK_TESTS_PTY_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace serialtest {

const int kNoWaitMs = 0;
const int kArrivalWaitMs = 1000; // generous: pty bytes cross a kernel work queue

inline bool readable(int fd, int waitMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, waitMs) == 1 && (p.revents & POLLIN) != 0;
}

inline bool isOpen(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

inline int countOpenDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

inline long msSince(std::chrono::steady_clock::time_point start)
{
    const auto d = std::chrono::steady_clock::now() - start;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

struct Outcome {
    int result;
    std::string out;
    std::string err;
    long ms;
};

// Times call() with standard output and error captured (the library uses puts/printf/perror).
template <typename Call> Outcome observe(Call call)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    Outcome r{call(), "", "", 0};
    r.ms = msSince(start);
    fflush(stdout);
    fflush(stderr);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

// A pseudo-terminal pair. The code under test drives the slave; the test is the device.
class PtyPair {
  public:
    PtyPair()
    {
        if (openpty(&master_, &slave_, path_, nullptr, nullptr) != 0) {
            master_ = slave_ = -1;
        }
    }
    ~PtyPair()
    {
        close(slave_);
        close(master_);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    int slave() const { return slave_; }
    const char *path() const { return path_; }

    // The line's attributes as the kernel keeps them, read from the device side.
    termios line() const
    {
        termios tio{};
        EXPECT_EQ(tcgetattr(master_, &tio), 0);
        return tio;
    }

    // Sends bytes and, unless told otherwise, waits until the slave can read them.
    void send(const std::string &bytes, bool waitArrival = true) const
    {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        if (waitArrival) {
            ASSERT_TRUE(readable(slave_, kArrivalWaitMs));
        }
    }

    // Everything the device has received, waiting up to waitMs for the first bytes.
    std::string received(int waitMs = kArrivalWaitMs) const
    {
        std::string got;
        char chunk[256];
        ssize_t n = 0;
        while (readable(master_, got.empty() ? waitMs : kNoWaitMs) &&
               (n = read(master_, chunk, sizeof(chunk))) > 0) {
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    char path_[128] = {};
};

// Every test gets a fresh pty and must give back every descriptor it opened.
class PtyTest : public testing::Test {
  protected:
    void SetUp() override
    {
        fdsBefore_ = countOpenDescriptors();
        ASSERT_GT(fdsBefore_, 0);
        pty_ = std::make_unique<PtyPair>();
        ASSERT_TRUE(pty_->ok());
    }
    void TearDown() override
    {
        pty_.reset();
        EXPECT_EQ(countOpenDescriptors(), fdsBefore_) << "descriptor leak";
    }

    const PtyPair &pty() const { return *pty_; }

  private:
    int fdsBefore_ = 0;
    std::unique_ptr<PtyPair> pty_;
};

} // namespace serialtest

#endif
