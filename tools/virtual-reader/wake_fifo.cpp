// SPDX-License-Identifier: LGPL-2.1-or-later
// FIFO-backed device node: full means "nothing to reap", one free page wakes.
#include "wake_fifo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A pipe is writable while one of its page-sized slots is free; the smallest
// pipe the kernel makes is one page, so filling and draining are one call.
constexpr int kPageBytes = 4096;
constexpr mode_t kFifoMode = 0666;

std::string errno_text(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

WakeFifo::~WakeFifo()
{
    close_fifo();
}

bool WakeFifo::create(const std::string &path, std::string &error)
{
    if (mkfifo(path.c_str(), kFifoMode) != 0) {
        error = errno_text("mkfifo " + path);
        return false;
    }
    // O_RDWR: opening a FIFO that way never blocks, and we stay its reader
    // and writer whoever else opens it.
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = errno_text("open " + path);
        return false;
    }
    path_ = path;
    fcntl(fd_, F_SETPIPE_SZ, kPageBytes); // a bigger pipe still works, only slower to fill
    ready_ = true;
    set_ready(false);
    return true;
}

bool WakeFifo::replace_node(const std::string &node_path, std::string &error) const
{
    // A hard link keeps one FIFO behind every node we ever hand out, so a
    // client that opened the node before an unplug still gets its wake-ups.
    if (unlink(node_path.c_str()) != 0 && errno != ENOENT) {
        error = errno_text("unlink " + node_path);
        return false;
    }
    if (link(path_.c_str(), node_path.c_str()) != 0) {
        error = errno_text("link " + node_path);
        return false;
    }
    return true;
}

void WakeFifo::set_ready(bool ready)
{
    if (fd_ < 0 || ready == ready_)
        return;
    ready_ = ready;
    if (ready)
        drain_one_page();
    else
        fill();
}

void WakeFifo::fill()
{
    static const char page[kPageBytes] = {};
    while (write(fd_, page, sizeof page) > 0) {
    }
}

void WakeFifo::drain_one_page()
{
    char page[kPageBytes];
    const ssize_t got = read(fd_, page, sizeof page);
    (void)got; // an empty pipe is already writable
}

void WakeFifo::close_fifo()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
}
