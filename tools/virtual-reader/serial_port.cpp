// SPDX-License-Identifier: LGPL-2.1-or-later
// The serial module's line: a pseudo-terminal served from the module model.
#include "serial_port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t kReadChunkBytes = 4096;

// The slave starts raw at the module's default rate, so that nothing the
// module sends before the program sets the line up is echoed back to it.
void make_raw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    cfsetispeed(&tio, vsim::terminal_speed(vsim::kSerialDefaultRate));
    cfsetospeed(&tio, vsim::terminal_speed(vsim::kSerialDefaultRate));
    tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

SerialPort::SerialPort(vsim::VirtualReader &model, const MonotonicClock &clock,
                       std::string link_path, int rate)
    : model_(model), clock_(clock), link_path_(std::move(link_path)), start_rate_(rate),
      module_(std::make_unique<vsim::SerialModule>(model))
{
    module_->set_rate(start_rate_);
}

SerialPort::~SerialPort()
{
    unplug();
}

bool SerialPort::plug(std::string &error)
{
    unplug();
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        error = std::string("no pseudo-terminal for the serial module: ") + std::strerror(errno);
        master_ = slave_ = -1;
        return false;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    make_raw(slave_);
    if (symlink(name, link_path_.c_str()) != 0) {
        error = link_path_ + ": " + std::strerror(errno);
        unplug();
        return false;
    }
    return true;
}

void SerialPort::unplug()
{
    if (master_ < 0)
        return;
    unlink(link_path_.c_str());
    close(master_);
    close(slave_);
    master_ = slave_ = -1;
}

void SerialPort::replace_model(vsim::VirtualReader fresh)
{
    model_ = std::move(fresh);
    module_ = std::make_unique<vsim::SerialModule>(model_);
    module_->set_rate(start_rate_);
}

// The rate the program set on its side of the line, or 0.
int SerialPort::host_rate() const
{
    return vsim::terminal_rate(master_);
}

void SerialPort::take_host_bytes(uint64_t now)
{
    uint8_t buf[kReadChunkBytes];
    for (;;) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            return; // nothing more for now (EAGAIN), or EINTR: the next call takes it
        vsim::cross_line(buf, static_cast<size_t>(n), host_rate(), module_->rate());
        module_->host_bytes(buf, static_cast<size_t>(n), now);
    }
}

void SerialPort::send_due(uint64_t now)
{
    for (;;) {
        std::optional<vsim::SerialOutput> out = module_->take_due(now);
        if (!out)
            return;
        vsim::cross_line(out->bytes.data(), out->bytes.size(), out->rate, host_rate());
        // A program that does not read lets the line fill up: what does not
        // fit is lost, as a UART's overrun loses it.
        if (write(master_, out->bytes.data(), out->bytes.size()) < 0 && errno != EAGAIN)
            return;
    }
}

uint64_t SerialPort::service()
{
    if (master_ < 0)
        return kNever;
    const uint64_t now = clock_.now_us();
    take_host_bytes(now);
    send_due(now);
    const std::optional<uint64_t> due = module_->next_due_us();
    return due ? *due : kNever;
}
