// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared pieces of the extended read API's tests: a fixture with a virtual
// reader on the test bus (its status callback the shared recorder), and a clock.
#ifndef VESSIK_TESTS_API_SUPPORT_H
#define VESSIK_TESTS_API_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "bus_fixture.h"
#include "child_process.h"
#include "output_capture.h"
#include "status_recorder.h"
#include "testbus.h"
#include "vessik_read.h"
#include "virtual_reader.h"

namespace apitest {

using testsupport::NowUs;

constexpr uint64_t kUsPerMs = 1000;
constexpr unsigned char kUntouched = 0x5A;

inline bool Untouched(const vessik_card &card)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&card);
    for (size_t i = 0; i < sizeof card; ++i) {
        if (bytes[i] != kUntouched)
            return false;
    }
    return true;
}

// A virtual reader on the test bus, default options with the recording
// callback, and a card record filled with kUntouched.
class ReadApiTest : public testsupport::BusTest {
  protected:
    void SetUp() override
    {
        BusTest::SetUp();
        vessik_read_options_init(&options_);
        options_.callback = testsupport::StatusRecorder::Record;
        testsupport::StatusRecorder::Get().Clear();
        memset(&card_, kUntouched, sizeof card_);
    }

    // Lays a card on the reader the way a hand does: the first find after
    // this still sees an empty reader. The library remembers the last card
    // it read across calls, and tests share one process: without that
    // empty find, a card equal to another test's would count as left lying.
    void Present(const vsim::CardFields &card)
    {
        testbus::with_lock([&] {
            reader_.knobs().card_arrives_after_finds = 1;
            reader_.insert_card(card);
        });
    }

    void Lift()
    {
        testbus::with_lock([&] { reader_.remove_card(); });
    }

    int Read() { return vessik_read(&options_, &card_); }

    vessik_read_options options_{};
    vessik_card card_{};
};

// The same with a handle on the bus's reader, closed after the test.
class ReaderOnBusTest : public ReadApiTest {
  protected:
    void SetUp() override
    {
        ReadApiTest::SetUp();
        Reopen();
    }
    void TearDown() override
    {
        vessik_reader_close(handle_);
        ReadApiTest::TearDown();
    }
    // A handle of its own: what the last one learnt of the module is gone.
    void Reopen()
    {
        vessik_reader_close(handle_);
        handle_ = nullptr;
        ASSERT_EQ(vessik_reader_open("usb", &handle_), VESSIK_OK);
    }
    int ReadOn() { return vessik_reader_read(handle_, &options_, &card_); }

    vessik_reader *handle_ = nullptr;
};

} // namespace apitest

#endif
