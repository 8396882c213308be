// SPDX-License-Identifier: LGPL-2.1-or-later
// Ten thousand card reads through the test bus, the library's waits
// fast-forwarded: good cards, absent cards (ended by pulling the reader),
// faults the read recovers from, faults it does not, and readers pulled in
// the middle of a read. Afterwards the process holds no more descriptors,
// threads or heap than after the first few hundred reads, and the bus has
// seen every context, handle and device list given back.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "IdCardLib.h"
#include "footprint.h"
#include "output_capture.h"
#include "status_recorder.h"
#include "testbus.h"
#include "virtual_reader.h"

#if defined(__SANITIZE_ADDRESS__)
#define VESSIK_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESSIK_SOAK_ASAN 1
#endif
#endif
#ifdef VESSIK_SOAK_ASAN
// From the sanitizer runtime (gcc ships no header for it): live heap bytes.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

constexpr int kReads = 10000;
constexpr int kWarmUpReads = 400;
// A full read is four commands of two OUT and two IN stages each.
constexpr int kTransfersPerRead = 16;
constexpr int kAbsentCardTransfers = 40; // about ten polling cycles, then the reader goes
constexpr int kShortAnswerKinds = 8;
constexpr int kShortAnswerStep = 160; // body bytes: 0, 160, ... 1120 of 1288
constexpr size_t kHeapSlackBytes = 64 * 1024;
constexpr long kRssSlackKb = 1024;

struct Usage {
    int fds = 0;
    int threads = 0;
    size_t heap_bytes = 0;
    long rss_kb = 0;
    size_t bus_objects = 0;
};

size_t HeapBytes()
{
#ifdef VESSIK_SOAK_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

Usage Measure()
{
    Usage u;
    const testsupport::Footprint f = testsupport::FootprintOf();
    u.fds = f.fds;
    u.threads = f.threads;
    u.heap_bytes = HeapBytes();
    u.rss_kb = f.rss_kb;
    u.bus_objects = testbus::retained_objects();
    return u;
}

// What one read meets on the reader, and what it must return.
enum class Scenario { GoodCard, AbsentCard, RecoverableFault, FatalFault, Unplug, NoReader };
constexpr Scenario kRotation[] = {
    Scenario::GoodCard, Scenario::AbsentCard, Scenario::RecoverableFault, Scenario::GoodCard,
    Scenario::Unplug,   Scenario::FatalFault, Scenario::NoReader};
constexpr int kRotationLength = sizeof(kRotation) / sizeof(kRotation[0]);

constexpr int kReadMessageKind = 3; // the kind of "usb connect ..." and "read card ..."

// The last message of the read's own kind, or "".
std::string LastReadMessage()
{
    std::string last;
    for (const testsupport::StatusRecorder::Message &m :
         testsupport::StatusRecorder::Get().Messages())
        if (m.first == kReadMessageKind)
            last = m.second;
    return last;
}

class Soak {
  public:
    Soak() : card_(vsim::sample_card()) {}

    // Sets the reader up for scenario `s` (the `round`-th of its kind) and
    // returns the result the read must give.
    int Prepare(Scenario s, int round)
    {
        // A fresh reader: the model counts transfers over its whole life.
        testbus::reset();
        reader_ = std::make_unique<vsim::VirtualReader>(card_);
        reader_->set_keep_log(false);
        vsim::Knobs &k = reader_->knobs();
        switch (s) {
        case Scenario::GoodCard:
            break;
        case Scenario::AbsentCard:
            reader_->remove_card();
            k.unplug_after_transfers = kAbsentCardTransfers;
            return VESSIK_RESULT_NO_READER;
        case Scenario::RecoverableFault:
            switch (round % 5) {
            case 0:
                k.select_fails = 2;
                break;
            case 1:
                k.in_partial = {vsim::kEpBodyIn, 2};
                break;
            case 2:
                k.in_timeout = {vsim::kEpHeaderIn, 3};
                break;
            case 3:
                k.out_stall = {vsim::kEpBodyOut, 1};
                break;
            default:
                k.damage_check_byte = true;
                k.kernel_driver_active = true;
                break;
            }
            k.refind_after_read = true;
            break;
        case Scenario::FatalFault:
            // The read answer never arrives whole; the reader goes after a while.
            // A few lengths, all met during the warm-up: the allocator caches
            // freed blocks per size, which is no leak.
            k.refind_after_read = true;
            k.read_answer_body_bytes = (round % kShortAnswerKinds) * kShortAnswerStep;
            k.unplug_after_transfers = 3 * kTransfersPerRead;
            return VESSIK_RESULT_NO_READER;
        case Scenario::Unplug:
            k.unplug_after_transfers = 1 + round % (kTransfersPerRead - 1);
            return VESSIK_RESULT_NO_READER;
        case Scenario::NoReader:
            reader_->unplug();
            return VESSIK_RESULT_NO_READER;
        }
        return VESSIK_RESULT_CARD_READ;
    }

    void Attach() { testbus::attach(reader_.get()); }

  private:
    vsim::CardFields card_;
    std::unique_ptr<vsim::VirtualReader> reader_;
};

// One read; false with a message when it broke a rule.
bool ReadOnce(Soak &soak, int i, std::string &why)
{
    const Scenario s = kRotation[i % kRotationLength];
    const int expected = soak.Prepare(s, i / kRotationLength);
    soak.Attach();
    testsupport::StatusRecorder::Get().Clear();
    idInfo info;
    memset(&info, 0, sizeof(info));
    const int rc = ReadIDCardLib(&info, VESSIK_READER_USB);

    why = "read " + std::to_string(i) + " (scenario " + std::to_string(static_cast<int>(s)) + ")";
    if (rc != expected) {
        why += ": returned " + std::to_string(rc) + ", expected " + std::to_string(expected);
        return false;
    }
    idInfo zero;
    memset(&zero, 0, sizeof(zero));
    const bool quiet_record =
        rc == VESSIK_RESULT_CARD_READ || memcmp(&info, &zero, sizeof(info)) == 0;
    const bool closed = testbus::open_handles() == 0 && testbus::open_contexts() == 0 &&
                        testbus::device_lists_outstanding() == 0 && testbus::misuse() == 0;
    const bool last_message_ok =
        LastReadMessage() ==
        (rc == VESSIK_RESULT_CARD_READ ? "read card  successful" : "usb connect err");
    if (!quiet_record || !closed || !last_message_ok) {
        why += ": record, close or messages wrong";
        return false;
    }
    testbus::reset();
    testbus::recycle();
    return true;
}

TEST(Soak, TenThousandReadsThroughTheTestBusLeaveNothingBehind)
{
    CARD_SetReadInfoCB(testsupport::StatusRecorder::Record);
    Soak soak;
    std::string why;
    Usage before;
    Usage after;
    int failures = 0;
    {
        // Ten thousand reads print their diagnostic lines.
        testsupport::OutputCapture quiet(testsupport::OutputCapture::Keep::Nothing);
        for (int i = 0; i < kWarmUpReads && failures == 0; ++i)
            failures += ReadOnce(soak, i, why) ? 0 : 1;
        before = Measure();
        for (int i = kWarmUpReads; i < kReads && failures == 0; ++i)
            failures += ReadOnce(soak, i, why) ? 0 : 1;
        after = Measure();
    }
    ASSERT_EQ(failures, 0) << why;

    printf("soak: %d reads; fds %d -> %d, threads %d -> %d, heap %zu -> %zu bytes, "
           "rss %ld -> %ld kB, bus objects %zu -> %zu\n",
           kReads, before.fds, after.fds, before.threads, after.threads, before.heap_bytes,
           after.heap_bytes, before.rss_kb, after.rss_kb, before.bus_objects, after.bus_objects);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.heap_bytes, before.heap_bytes + kHeapSlackBytes);
    EXPECT_EQ(after.bus_objects, before.bus_objects);
#ifndef VESSIK_SOAK_ASAN
    // AddressSanitizer keeps freed memory in quarantine, so its RSS grows
    // by design; the heap figure above still counts live bytes only.
    EXPECT_LE(after.rss_kb, before.rss_kb + kRssSlackKb);
#endif
}

} // namespace
