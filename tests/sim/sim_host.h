// SPDX-License-Identifier: LGPL-2.1-or-later
// A bare host for driving the virtual reader in tests: frames written as the
// reader expects them (header stage, body stage), answers read back from the
// two IN endpoints. The command frames are spelled out here byte by byte.
#ifndef VSIM_TEST_SIM_HOST_H
#define VSIM_TEST_SIM_HOST_H

#include <cstdint>
#include <vector>

#include "virtual_reader.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

const Bytes kStatusQuery = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x12, 0xFF, 0xEE};
const Bytes kFind = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x01, 0x22};
const Bytes kSelect = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x02, 0x21};
const Bytes kRead = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x30, 0x01, 0x32};
const Bytes kProbe = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
const Bytes kRestart = {0xAA, 0x00, 0x03, 0xF0, 0x00, 0xF3};

constexpr uint8_t kOutHeader = 0x02;
constexpr uint8_t kOutBody = 0x06;
constexpr uint8_t kInHeader = 0x81;
constexpr uint8_t kInBody = 0x85;
constexpr int kStage = 4096; // room for the longest answer (2321 bytes)
constexpr uint64_t kSecond = 1000000;

// Writes a SAM frame as two stages; the status of the stage that failed, or Ok.
inline vsim::UsbStatus send(vsim::VirtualReader &r, const Bytes &frame, uint64_t now)
{
    const vsim::UsbStatus s = r.out_transfer(kOutHeader, frame.data(), 7, now);
    if (s != vsim::UsbStatus::Ok)
        return s;
    return r.out_transfer(kOutBody, frame.data() + 7, static_cast<int>(frame.size()) - 7, now);
}

// Writes a six-byte controller frame as the one transfer the reader expects.
inline vsim::UsbStatus send_mcu(vsim::VirtualReader &r, const Bytes &frame, uint64_t now)
{
    return r.out_transfer(kOutHeader, frame.data(), static_cast<int>(frame.size()), now);
}

// One IN stage; empty when nothing was delivered.
inline Bytes stage(vsim::VirtualReader &r, uint8_t ep, uint64_t now,
                   vsim::UsbStatus *status = nullptr)
{
    Bytes buf(kStage);
    int got = -1;
    const vsim::UsbStatus s = r.in_transfer(ep, buf.data(), kStage, &got, now);
    if (status != nullptr)
        *status = s;
    buf.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return buf;
}

// Header stage then body stage, joined: one whole answer, or what arrived of it.
inline Bytes receive(vsim::VirtualReader &r, uint64_t now)
{
    Bytes answer = stage(r, kInHeader, now);
    const Bytes body = stage(r, kInBody, now);
    answer.insert(answer.end(), body.begin(), body.end());
    return answer;
}

// Command and answer in one go.
inline Bytes exchange(vsim::VirtualReader &r, const Bytes &frame, uint64_t now)
{
    send(r, frame, now);
    return receive(r, now);
}

// Find, select and read, then the read answer once it is ready.
inline Bytes read_card(vsim::VirtualReader &r, uint64_t now)
{
    exchange(r, kFind, now);
    exchange(r, kSelect, now);
    send(r, kRead, now);
    return receive(r, now + r.knobs().read_delay_us);
}

} // namespace simtest

#endif
