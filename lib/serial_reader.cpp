// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader handles' serial link.
#include "serial_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "diag.h"
#include "frame.h"
#include "timing.h"
#include "tty.h"
#include "vessik_read.h"
#include "wipe.h"

namespace vessik {
namespace {

using diag::kLogDebug;
using diag::kLogInfo;
using diag::kLogWarning;

// How long a frame may take to leave, and to wait for room in the line.
constexpr int kSendWaitMs = 500;
// 8N1: ten bits on the line per byte.
constexpr int kBitsPerByte = 10;
constexpr int kMsPerSecond = 1000;
// How long an acknowledgement of a rate change is awaited at the old rate
// before the line moves to the new one.
constexpr int kOldRateAckMs = 300;
constexpr unsigned char kCmdSetRate = 0x60;
constexpr int kDataBits = 8;
constexpr char kParity = 'N';
constexpr int kStopBits = 1;
constexpr char kTraceStage[] = "serial";

int CodeForOpenErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return VESSIK_E_ACCESS;
    case EBUSY:
    case EWOULDBLOCK:
        return VESSIK_E_READER_IN_USE;
    default:
        return VESSIK_E_NO_READER;
    }
}

// A device that is gone answers reads and writes with one of these.
bool LineGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

// Wire time of `bytes` at `rate`, in milliseconds, rounded up.
int WireMs(int bytes, int rate)
{
    return (bytes * kBitsPerByte * kMsPerSecond + rate - 1) / rate;
}

} // namespace

SerialReaderLink::~SerialReaderLink()
{
    Close();
}

int SerialReaderLink::Open()
{
    const Location &where = where_;
    Close();
    const int fd = tty::OpenLine(where.serial_device, O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        diag::LogFormat(kLogInfo, "%s does not open: %s", where.serial_device, strerror(error));
        return CodeForOpenErrno(error);
    }
    // Two programs must not interleave frames on one module: the lock holds
    // against every program that asks for it (root included), TIOCEXCL
    // against plain opens by other users.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return VESSIK_E_READER_IN_USE;
    }
    ioctl(fd, TIOCEXCL);
    fd_ = fd;
    snprintf(device_, sizeof device_, "%s", where.serial_device);
    if (!Configure(where.serial_rate)) {
        Close();
        return VESSIK_E_NO_READER;
    }
    diag::LogFormat(kLogInfo, "opened the module at %s", location_);
    return VESSIK_OK;
}

bool SerialReaderLink::Configure(int rate)
{
    speed_t speed = B0;
    termios tio{};
    if (!tty::SpeedForRate(rate, &speed) || tcgetattr(fd_, &tio) != 0)
        return false;
    // 8N1, raw.
    tty::ClearToRaw(&tio);
    tty::SetSpeed(&tio, speed);
    tty::SetDataBits(&tio, kDataBits);
    tty::SetParity(&tio, kParity);
    tty::SetStopBits(&tio, kStopBits);
    if (!tty::Apply(fd_, tio))
        return false;
    tcflush(fd_, TCIOFLUSH);
    frames_.Clear();
    rate_ = rate;
    FormatSerialLocation(device_, rate_, location_, sizeof location_);
    return true;
}

void SerialReaderLink::Close()
{
    if (fd_ < 0)
        return;
    // The exclusive mode outlives the descriptor on a tty someone else still
    // holds open: give it back, or later opens by other users are refused.
    ioctl(fd_, TIOCNXCL);
    close(fd_); // the lock goes with the descriptor
    fd_ = -1;
    frames_.Clear();
}

SendResult SerialReaderLink::Send(const unsigned char *frame, int len)
{
    if (!IsOpen())
        return SendResult::Lost;
    // Whatever is still on the line answered an earlier command.
    tcflush(fd_, TCIFLUSH);
    frames_.Clear();
    trace_.Out(kTraceStage, frame, len);
    int sent = 0;
    while (sent < len) {
        const ssize_t n = write(fd_, frame + sent, static_cast<size_t>(len - sent));
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return LineGone(errno) ? SendResult::Lost : SendResult::Failed;
        pollfd p = {fd_, POLLOUT, 0};
        const int ready = poll(&p, 1, kSendWaitMs);
        if (ready == 0)
            return SendResult::Failed;
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return SendResult::Lost;
    }
    return SendResult::Sent;
}

SerialReaderLink::Fill SerialReaderLink::FillPending(int ms)
{
    pollfd p = {fd_, POLLIN, 0};
    const int ready = poll(&p, 1, ms);
    if (ready < 0)
        return errno == EINTR ? Fill::Quiet : Fill::Lost;
    if (ready == 0)
        return Fill::Quiet;
    const ssize_t n =
        read(fd_, frames_.free_space(), static_cast<size_t>(std::max(frames_.free_bytes(), 0)));
    if (n > 0) {
        frames_.Appended(static_cast<int>(n));
        return Fill::Some;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return Fill::Quiet;
    // End of file, or an error, on a line that said it was readable: the
    // device has gone (a USB-serial bridge pulled out).
    return Fill::Lost;
}

int SerialReaderLink::Receive(unsigned char *buf, int capacity, const AnswerWait &wait)
{
    if (!IsOpen() || buf == nullptr)
        return kReceiveNothing;
    const int budget_ms = std::max(wait.budget_ms, wait.stage_ms);
    // However long the pieces take, the whole answer is bounded: the budget
    // plus twice the longest answer's time on the wire.
    int hard_left_ms = budget_ms + 2 * WireMs(answer::kLargestAnswerBytes, rate_);
    int quiet_left_ms = budget_ms;
    bool heard = false; // bytes came, whether or not they made an answer
    for (;;) {
        const int ready = frames_.Ready();
        if (ready > 0) {
            const int placed = frames_.Take(buf, capacity, ready);
            trace_.In(kTraceStage, buf, placed);
            return placed;
        }
        if (quiet_left_ms <= 0 || hard_left_ms <= 0) {
            trace_.In(kTraceStage, buf, 0);
            return heard ? kReceiveDamaged : kReceiveNothing;
        }
        const int slice =
            wait.slice_ms > 0 ? std::min(wait.slice_ms, quiet_left_ms) : quiet_left_ms;
        const uint64_t started = MonotonicUs();
        const Fill fill = FillPending(slice);
        const int took = std::max(static_cast<int>((MonotonicUs() - started) / 1000u), 1);
        hard_left_ms -= took;
        if (fill == Fill::Lost)
            return kReceiveLost;
        if (fill == Fill::Some) {
            heard = true;
            trace_.FirstPiece();
            quiet_left_ms = budget_ms; // the module is talking: wait for the rest
            continue;
        }
        quiet_left_ms -= std::max(took, slice);
        if (wait.should_stop != nullptr && wait.should_stop(wait.context))
            return kReceiveStopped;
    }
}

void SerialReaderLink::Describe(vessik_reader_info *info) const
{
    info->transport = VESSIK_TRANSPORT_SERIAL;
    if (IsOpen())
        snprintf(info->location, sizeof info->location, "%s", location_);
    else
        FormatSerialLocation(where_.serial_device, where_.serial_rate, info->location,
                             sizeof info->location);
}

int SerialReaderLink::SetRate(int rate, const AnswerWait &wait)
{
    if (!SerialRateSupported(rate))
        return VESSIK_E_BAD_ARGUMENT;
    if (!IsOpen()) {
        const int opened = Open();
        if (opened != VESSIK_OK)
            return opened;
    }
    const int result = MoveToRate(rate, wait);
    where_.serial_rate = rate_;
    return result;
}

int SerialReaderLink::MoveToRate(int rate, const AnswerWait &wait)
{
    unsigned char code = 0;
    if (!tty::ModuleRateCode(rate, &code))
        return VESSIK_E_NOT_SUPPORTED;
    if (rate == rate_)
        return VESSIK_OK;
    const int old_rate = rate_;
    const unsigned char set_rate[2] = {kCmdSetRate, code};
    const frame::Command command = frame::BuildCommand(set_rate);
    if (Send(command.bytes, frame::kCommandFrameBytes) != SendResult::Sent)
        return VESSIK_E_READER_LOST;

    // Whether the module acknowledges at the old rate or the new one is not
    // known: listen at the old rate first, then at the new.
    unsigned char ack[answer::kLargestAnswerBytes];
    // A late answer to a card read may land here too.
    const ScopedWipe ack_wipe(ack, sizeof ack);
    AnswerWait at_old = wait;
    at_old.budget_ms = kOldRateAckMs;
    at_old.stage_ms = kOldRateAckMs;
    int count = Receive(ack, sizeof ack, at_old);
    if (count == kReceiveLost)
        return VESSIK_E_READER_LOST;
    const bool answered_at_old = count > answer::kPosModuleStatus;
    if (answered_at_old && ack[answer::kPosModuleStatus] != answer::kStatusSuccess)
        return VESSIK_E_NOT_SUPPORTED; // a module without the command keeps its rate
    if (!Configure(rate))
        return VESSIK_E_READER_LOST;
    if (!answered_at_old)
        count = Receive(ack, sizeof ack, wait);
    bool moved =
        count > answer::kPosModuleStatus && ack[answer::kPosModuleStatus] == answer::kStatusSuccess;
    if (!moved) {
        // The acknowledgement may have been lost between the two rates: a
        // module that answers its status at the new rate has moved.
        if (Send(frame::kModuleIdCommand.bytes, frame::kCommandFrameBytes) == SendResult::Sent)
            moved = Receive(ack, sizeof ack, wait) > answer::kPosModuleStatus;
    }
    if (!moved) {
        Configure(old_rate);
        diag::LogFormat(kLogWarning, "the module at %s did not move to %d baud", location_, rate);
        return VESSIK_E_TIMEOUT;
    }
    diag::LogFormat(kLogInfo, "the module now runs at %d baud (%s)", rate_, location_);
    return VESSIK_OK;
}

} // namespace vessik
