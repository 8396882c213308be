// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target: controller frames into CardMain::HasCard and CardMain::ICCard.
// The input supplies the header and body stages that the reader delivers
// (any lengths, any bytes) and, now and then, a bus failure; HasCard reads
// them through the test bus into a buffer of exactly 2048 bytes, and ICCard
// unpacks what arrived into a data output of exactly 255 bytes.
#include <cstring>
#include <memory>
#include <vector>

#include <libusb.h>

#include "CardMain.h"
#include "fuzz_input.h"
#include "quiet_bus.h"
#include "testbus.h"
#include "virtual_reader.h"

namespace {

constexpr int kReplyBytes = 2048; // what every caller hands ReadUsb
constexpr int kDataBytes = 255;   // the largest count an event frame can give
constexpr size_t kMaxHeaderStage = 16;
constexpr size_t kMaxBodyStage = 2100;
constexpr uint8_t kUntouched = 0xCC;

// The frame classes as the controller documents them: total length, byte 0,
// and the command and kind bytes (kind 0x100: any).
struct FrameClass {
    int result;
    int length;
    int length_low; // byte 2, -1: any
    uint8_t command;
    int kind;
};
constexpr FrameClass kClasses[] = {
    {5, 26, 0x17, 0x01, 0x100}, {1, 12, -1, 0x03, 0x01}, {4, 41, -1, 0x03, 0x02},
    {3, 39, -1, 0x03, 0x03},    {2, 25, -1, 0x03, 0x04},
};

int Classify(const uint8_t *reply, int count)
{
    for (const FrameClass &c : kClasses) {
        if (count == c.length && reply[0] == 0xAA && reply[3] == c.command &&
            (c.length_low < 0 || reply[2] == c.length_low) &&
            (c.kind == 0x100 || reply[4] == c.kind))
            return c.result;
    }
    return 0;
}

// Hands out the scripted stages once each; later INs find nothing.
struct Script {
    std::vector<uint8_t> header;
    std::vector<uint8_t> body;
    bool header_given = false;
    bool body_given = false;

    void Deliver(uint8_t ep, std::vector<uint8_t> &stage)
    {
        if (ep == vsim::kEpHeaderIn && !header_given) {
            stage = header;
            header_given = true;
        } else if (ep == vsim::kEpBodyIn && !body_given) {
            stage = body;
            body_given = true;
        }
    }
};

void CheckHasCard(CardMain &reader_main, uint8_t *reply)
{
    int reply_len = -12345;
    int unused_len = 0;
    const int result = reader_main.HasCard(reply, reply_len, nullptr, unused_len);
    FUZZ_CHECK(reply_len <= kReplyBytes);
    if (reply_len <= 0) {
        FUZZ_CHECK(result == 0);
        return;
    }
    FUZZ_CHECK(result == Classify(reply, reply_len));
}

void CheckICCard(CardMain &reader_main, const uint8_t *frame)
{
    std::vector<uint8_t> copy(frame, frame + kReplyBytes);
    std::unique_ptr<uint8_t[]> data(new uint8_t[kDataBytes]);
    memset(data.get(), kUntouched, kDataBytes);
    uint8_t single = kUntouched;
    const bool taken = reader_main.ICCard(copy.data(), &single, 0, data.get());

    FUZZ_CHECK(memcmp(copy.data(), frame, kReplyBytes) == 0); // the frame is only read
    FUZZ_CHECK(taken == (frame[0] == 0xAA && frame[3] == 0x03));
    const int count = taken ? frame[7] : 0;
    if (taken)
        FUZZ_CHECK(single == frame[6]);
    else
        FUZZ_CHECK(single == kUntouched);
    FUZZ_CHECK(memcmp(data.get(), frame + 8, static_cast<size_t>(count)) == 0);
    for (int i = count; i < kDataBytes; ++i)
        FUZZ_CHECK(data[i] == kUntouched);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    QuietBus bus;
    vsim::VirtualReader &reader = bus.reader;
    testbus::attach(&reader);

    Script script;
    const uint8_t setup = in.byte();
    script.header = in.bytes(in.below(kMaxHeaderStage + 1));
    script.body = in.bytes(in.u16() % kMaxBodyStage);
    testbus::set_in_filter(
        [&script](uint8_t ep, std::vector<uint8_t> &stage) { script.Deliver(ep, stage); });

    CardMain reader_main;
    FUZZ_CHECK(reader_main.usb.ConnectUsb() == 0);
    // Now and then the header stage fails on the bus; an empty scripted stage
    // times out, and a body longer than asked for overflows.
    static const int kBusErrors[] = {LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE,
                                     LIBUSB_ERROR_NO_DEVICE};
    if ((setup & 1) != 0)
        testbus::fail_next("libusb_bulk_transfer", kBusErrors[(setup >> 1) & 3]);

    // Exactly the documented room, on the heap, so one byte more is caught.
    std::unique_ptr<uint8_t[]> reply(new uint8_t[kReplyBytes]);
    memset(reply.get(), 0, kReplyBytes);
    CheckHasCard(reader_main, reply.get());
    CheckICCard(reader_main, reply.get());

    reader_main.usb.DisConnectUsb();
    FUZZ_CHECK(testbus::open_handles() == 0 && testbus::open_contexts() == 0);
    FUZZ_CHECK(testbus::misuse() == 0);
    testbus::reset();
    testbus::recycle();
    return 0;
}
