// SPDX-License-Identifier: LGPL-2.1-or-later
// The security module behind a serial line.
#include "serial_module.h"

#include <algorithm>

namespace vsim {
namespace {

constexpr size_t kPreambleBytes = kSamPreamble.size();
constexpr size_t kMaxFrameBytes = 4096;
constexpr int kRates[] = {115200, 57600, 38400, 19200, 9600};
constexpr uint64_t kUsPerSecond = 1000000;
constexpr uint64_t kBitsPerByte = 10;

struct TerminalSpeed {
    speed_t speed;
    int rate;
};
// The default rate first.
constexpr TerminalSpeed kTerminalSpeeds[] = {
    {B115200, 115200}, {B57600, 57600}, {B38400, 38400}, {B19200, 19200}, {B9600, 9600},
};

uint64_t wire_us(size_t bytes, int rate)
{
    return bytes * kBitsPerByte * kUsPerSecond / static_cast<uint64_t>(rate);
}

} // namespace

int serial_rate_of_code(uint8_t code)
{
    return code < sizeof kRates / sizeof kRates[0] ? kRates[code] : 0;
}

int terminal_rate(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return 0;
    const speed_t speed = cfgetospeed(&tio);
    for (const TerminalSpeed &s : kTerminalSpeeds) {
        if (s.speed == speed)
            return s.rate;
    }
    return 0;
}

speed_t terminal_speed(int rate)
{
    for (const TerminalSpeed &s : kTerminalSpeeds) {
        if (s.rate == rate)
            return s.speed;
    }
    return kTerminalSpeeds[0].speed; // the default rate's
}

void cross_line(uint8_t *bytes, size_t len, int sent_rate, int taken_rate)
{
    if (sent_rate == taken_rate)
        return;
    constexpr unsigned kSpread = 37;
    constexpr unsigned kShift = 11;
    for (size_t i = 0; i < len; ++i)
        bytes[i] = static_cast<uint8_t>(bytes[i] * kSpread + kShift);
}

void SerialModule::host_bytes(const uint8_t *data, size_t len, uint64_t now_us)
{
    incoming_.insert(incoming_.end(), data, data + len);
    // The host's write returns at once; its last byte reaches the module
    // only after its time on the wire.
    take_frames(knobs_.wire_time ? now_us + wire_us(len, rate_) : now_us);
}

// Whole frames at the front of what came in become commands; anything before
// a preamble is dropped, as a module's UART receiver does.
void SerialModule::take_frames(uint64_t now_us)
{
    for (;;) {
        const auto start = std::search(incoming_.begin(), incoming_.end(), kSamPreamble.begin(),
                                       kSamPreamble.end());
        if (start == incoming_.end()) {
            const size_t keep = std::min(incoming_.size(), kPreambleBytes - 1);
            incoming_.erase(incoming_.begin(), incoming_.end() - static_cast<long>(keep));
            return;
        }
        incoming_.erase(incoming_.begin(), start);
        if (incoming_.size() < kHeaderStageBytes)
            return;
        const size_t length =
            static_cast<size_t>(incoming_[kSamLengthOffset]) << 8 | incoming_[kSamLengthOffset + 1];
        const size_t total = kHeaderStageBytes + length;
        if (total > kMaxFrameBytes) {
            incoming_.erase(incoming_.begin());
            continue;
        }
        if (incoming_.size() < total)
            return;
        const std::vector<uint8_t> frame(incoming_.begin(),
                                         incoming_.begin() + static_cast<long>(total));
        incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<long>(total));
        command(frame, now_us);
    }
}

void SerialModule::command(const std::vector<uint8_t> &frame, uint64_t now_us)
{
    constexpr size_t kCommandAt = kHeaderStageBytes;
    if (frame.size() == kHeaderStageBytes + 3 && frame[kCommandAt] == kCmdSetRate &&
        sam_frame_valid(frame)) {
        set_rate_command(frame[kCommandAt + 1], now_us);
        return;
    }
    // A new command: whatever was not yet sent answered an earlier one.
    out_.clear();
    header_taken_ = false;
    reader_.out_transfer(kEpHeaderOut, frame.data(), static_cast<int>(kHeaderStageBytes), now_us);
    reader_.out_transfer(kEpBodyOut, frame.data() + kHeaderStageBytes,
                         static_cast<int>(frame.size() - kHeaderStageBytes), now_us);
    answer_pending_ = true;
    collect_answer(now_us);
}

// 60 xx: answered 90 at the old rate or the new one, then the new rate holds.
void SerialModule::set_rate_command(uint8_t code, uint64_t now_us)
{
    const int rate = serial_rate_of_code(code);
    if (rate == 0) {
        queue_answer(sam_frame({0x00, 0x00, kSamUnknownCommand}), now_us, rate_);
        return;
    }
    const int ack_rate = knobs_.ack_at_new_rate ? rate : rate_;
    queue_answer(sam_frame({0x00, 0x00, kSamOk}), now_us, ack_rate);
    rate_ = rate;
}

// Takes the model's answer as it becomes ready: both stages joined when
// they are ready together, a read answer in pieces piece by piece.
void SerialModule::collect_answer(uint64_t now_us)
{
    if (!answer_pending_)
        return;
    std::vector<uint8_t> bytes;
    uint64_t ready_at = 0;
    const bool opens = !header_taken_;
    if (!header_taken_) {
        const std::optional<uint64_t> ready = reader_.ready_at_us(kEpHeaderIn);
        if (!ready || *ready > now_us)
            return;
        take_stage(kEpHeaderIn, now_us, &bytes);
        ready_at = *ready;
        header_taken_ = true;
    }
    for (;;) {
        const std::optional<uint64_t> ready = reader_.ready_at_us(kEpBodyIn);
        if (!ready) {
            answer_pending_ = false;
            break;
        }
        if (*ready > now_us)
            break;
        take_stage(kEpBodyIn, now_us, &bytes);
        ready_at = std::max(ready_at, *ready);
    }
    if (!bytes.empty())
        queue_answer(std::move(bytes), ready_at, rate_, opens, !answer_pending_);
}

void SerialModule::take_stage(uint8_t ep, uint64_t now_us, std::vector<uint8_t> *bytes)
{
    const size_t had = bytes->size();
    bytes->resize(had + kMaxFrameBytes);
    int got = 0;
    reader_.in_transfer(ep, bytes->data() + had, static_cast<int>(kMaxFrameBytes), &got, now_us);
    bytes->resize(had + static_cast<size_t>(std::max(got, 0)));
}

void SerialModule::queue_answer(std::vector<uint8_t> frame, uint64_t ready_us, int rate, bool opens,
                                bool closes)
{
    if (closes && knobs_.corrupt_checks > 0 && !frame.empty()) {
        --knobs_.corrupt_checks;
        frame.back() ^= 0xFF;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; opens && i < knobs_.noise_bytes; ++i) {
        noise_state_ = noise_state_ * 1664525u + 1013904223u;
        bytes.push_back(static_cast<uint8_t>(noise_state_ >> 24));
    }
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    const size_t piece = knobs_.piece_bytes > 0 ? knobs_.piece_bytes : bytes.size();
    // A piece leaves once the line is free of the one before it.
    uint64_t due = out_.empty() ? ready_us : std::max(ready_us, out_.back().due_us);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t n = std::min(piece, bytes.size() - at);
        if (knobs_.wire_time)
            due += wire_us(n, rate); // a piece is there once its last byte has crossed
        out_.push_back({std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                             bytes.begin() + static_cast<long>(at + n)),
                        due, rate});
        due += knobs_.piece_pause_us;
    }
}

std::optional<SerialOutput> SerialModule::take_due(uint64_t now_us)
{
    collect_answer(now_us);
    if (out_.empty() || out_.front().due_us > now_us)
        return std::nullopt;
    SerialOutput next = std::move(out_.front());
    out_.pop_front();
    return next;
}

std::optional<uint64_t> SerialModule::next_due_us() const
{
    if (!out_.empty())
        return out_.front().due_us;
    if (answer_pending_)
        return reader_.ready_at_us(header_taken_ ? kEpBodyIn : kEpHeaderIn);
    return std::nullopt;
}

} // namespace vsim
