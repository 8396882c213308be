// SPDX-License-Identifier: LGPL-2.1-or-later
// The library's own cost of polling and of reading a card, measured through
// the test bus: sleeps are fast-forwarded, so the fixed waits cost nothing
// and what remains is the library, the bus and the reader model.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "CardMain.h"
#include "testbus.h"
#include "virtual_reader.h"

namespace {

// The library prints its connect and disconnect lines on stdout.
class QuietStdout {
  public:
    QuietStdout()
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    ~QuietStdout()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

  private:
    int saved_;
};

// What every caller of the documented read hands ReadUsb.
constexpr int kAnswerBytes = 2048;
constexpr int kFrameBytes = 10;
constexpr int kAnswerTimeoutMs = 100;

// One command and its answer, as the documented loop exchanges them.
void Exchange(NvUsb &usb, unsigned char *frame, unsigned char *answer)
{
    memset(answer, 0, kAnswerBytes);
    usb.WriteUsb(frame, kFrameBytes);
    usb.ReadUsb(answer, kAnswerTimeoutMs);
}

// Status and find with no card on the reader: the documented loop's idle
// work, exchanged through the reader object's link.
void BM_PollCycleWithoutCard(benchmark::State &state)
{
    QuietStdout quiet;
    testbus::reset();
    vsim::VirtualReader reader;
    testbus::attach(&reader);
    CardMain main;
    main.usb.ConnectUsb();
    unsigned char answer[kAnswerBytes];
    constexpr long kCyclesPerBatch = 100;
    for (auto _ : state) {
        for (long cycle = 0; cycle < kCyclesPerBatch; ++cycle) {
            Exchange(main.usb, SAM_M_Status, answer);
            Exchange(main.usb, SAM_Serach, answer);
        }
        benchmark::DoNotOptimize(answer);
        testbus::clear_calls();
        testbus::clear_sleeps();
    }
    state.SetItemsProcessed(state.iterations() * kCyclesPerBatch);
    main.usb.DisConnectUsb();
}
BENCHMARK(BM_PollCycleWithoutCard)->Unit(benchmark::kMicrosecond);

// A whole read of a card already on the reader: open, four exchanges,
// decoding into the record, close.
void BM_ReadCardOnTheReader(benchmark::State &state)
{
    QuietStdout quiet;
    testbus::reset();
    vsim::VirtualReader reader(vsim::sample_card());
    reader.knobs().refind_after_read = true;
    testbus::attach(&reader);
    CardMain main;
    idInfo info;
    for (auto _ : state) {
        memset(&info, 0, sizeof(info));
        if (main.IReadCardInfo(&info, CARDTYPE_USB) != VESSIK_RESULT_CARD_READ)
            state.SkipWithError("the read failed");
        testbus::clear_calls();
        testbus::clear_sleeps();
    }
    benchmark::DoNotOptimize(info);
}
BENCHMARK(BM_ReadCardOnTheReader)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
