// SPDX-License-Identifier: LGPL-2.1-or-later
// This process's standard output and error, taken over for a while: kept
// apart in temporary files, or thrown away when only the noise must go.
#ifndef VESSIK_TESTS_SUPPORT_OUTPUT_CAPTURE_H
#define VESSIK_TESTS_SUPPORT_OUTPUT_CAPTURE_H

#include <cstdio>
#include <functional>
#include <string>

namespace testsupport {

struct Output {
    std::string out;
    std::string err;
};

// Everything written to standard output and error from construction to
// Finish(), which puts both streams back.
class OutputCapture {
  public:
    enum class Keep { Text, Nothing };

    explicit OutputCapture(Keep keep = Keep::Text);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // What was written (empty when it was thrown away); again after the first.
    const Output &Finish();

  private:
    struct Stream {
        int fd = -1;
        int saved = -1;
        FILE *file = nullptr;
    };
    void TakeOver(Stream &s, int fd, Keep keep);
    static std::string GiveBack(Stream &s);

    Stream out_;
    Stream err_;
    bool finished_ = false;
    Output text_;
};

// What `fn` writes to standard output and error.
Output Capture(const std::function<void()> &fn);

} // namespace testsupport

#endif
