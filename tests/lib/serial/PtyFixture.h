// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared pieces of the serial tests: a fresh pseudo-terminal for each test
// (the test is the device on its master side), a timed call with its output
// captured, and the check that every descriptor a test opened is given back.
#ifndef VESSIK_TESTS_PTY_FIXTURE_H
#define VESSIK_TESTS_PTY_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <string>

#include "footprint.h"
#include "output_capture.h"
#include "pty_pair.h"

namespace serialtest {

inline bool isOpen(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
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
    testsupport::OutputCapture capture;
    const auto start = std::chrono::steady_clock::now();
    Outcome r{call(), "", "", 0};
    r.ms = msSince(start);
    const testsupport::Output &o = capture.Finish();
    r.out = o.out;
    r.err = o.err;
    return r;
}

// Every test gets a fresh pty and must give back every descriptor it opened.
class PtyTest : public testing::Test {
  protected:
    void SetUp() override
    {
        fdsBefore_ = testsupport::OpenDescriptors();
        ASSERT_GT(fdsBefore_, 0);
        pty_ = std::make_unique<testsupport::PtyPair>();
        ASSERT_TRUE(pty_->ok());
    }
    void TearDown() override
    {
        pty_.reset();
        EXPECT_EQ(testsupport::OpenDescriptors(), fdsBefore_) << "descriptor leak";
    }

    const testsupport::PtyPair &pty() const { return *pty_; }

  private:
    int fdsBefore_ = 0;
    std::unique_ptr<testsupport::PtyPair> pty_;
};

} // namespace serialtest

#endif
