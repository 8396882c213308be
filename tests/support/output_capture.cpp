// SPDX-License-Identifier: LGPL-2.1-or-later
#include "output_capture.h"

#include <fcntl.h>
#include <unistd.h>

namespace testsupport {

OutputCapture::OutputCapture(Keep keep)
{
    std::fflush(stdout);
    std::fflush(stderr);
    TakeOver(out_, STDOUT_FILENO, keep);
    TakeOver(err_, STDERR_FILENO, keep);
}

OutputCapture::~OutputCapture()
{
    Finish();
}

void OutputCapture::TakeOver(Stream &s, int fd, Keep keep)
{
    s.fd = fd;
    s.saved = dup(fd);
    int into = -1;
    if (keep == Keep::Text) {
        s.file = std::tmpfile();
        into = s.file != nullptr ? fileno(s.file) : -1;
    } else {
        into = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    if (into >= 0)
        dup2(into, fd);
    if (keep == Keep::Nothing && into >= 0)
        close(into);
}

std::string OutputCapture::GiveBack(Stream &s)
{
    dup2(s.saved, s.fd);
    close(s.saved);
    std::string text;
    if (s.file == nullptr)
        return text;
    std::rewind(s.file);
    char buf[256];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, s.file)) > 0)
        text.append(buf, n);
    std::fclose(s.file);
    s.file = nullptr;
    return text;
}

const Output &OutputCapture::Finish()
{
    if (finished_)
        return text_;
    finished_ = true;
    std::fflush(stdout);
    std::fflush(stderr);
    text_.out = GiveBack(out_);
    text_.err = GiveBack(err_);
    return text_;
}

Output Capture(const std::function<void()> &fn)
{
    OutputCapture capture;
    fn();
    return capture.Finish();
}

} // namespace testsupport
