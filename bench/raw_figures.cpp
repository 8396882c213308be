// SPDX-License-Identifier: LGPL-2.1-or-later
// Figures of the library against the same USB work straight through
// libusb-1.0, for runs under vessik-virtual-reader (bench/figures.sh runs
// them). Each mode prints "figures key=value" lines.
//
//   read N        N library reads of a card already on the reader, each less
//                 the library's fixed waits, against N raw reads
//   raw-cycles N  N status and find exchanges straight through libusb
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <libusb.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "IdCardLib.h"
#include "client_args.h"
#include "figures_clock.h"
#include "raw_link.h"
#include "vessik.h"

namespace {

using testsupport::CommandFrame;
using testsupport::RawLink;

// The library's fixed waits in one read of a card already on the reader:
// 0.9 s after the read command, 600 us before it, 100 us around the others.
constexpr double kMandatedWaitS = 0.9 + 600e-6 + 6 * 100e-6;
// Longer than the model's read delay, so the raw read answer is ready.
constexpr useconds_t kRawReadPauseUs = 600000;

// One read's unavoidable USB work: open and claim, the four exchanges,
// release and close. The wait for the read answer is not counted.
double raw_read_once(bool *ok)
{
    unsigned char answer[2 * testsupport::kRawStageBytes];
    const std::vector<uint8_t> frames[] = {CommandFrame(vsim::kCmdModuleId),
                                           CommandFrame(vsim::kCmdFind),
                                           CommandFrame(vsim::kCmdSelect)};
    const std::vector<uint8_t> read_frame = CommandFrame(vsim::kCmdRead);
    RawLink link;
    double t0 = figures::NowS();
    *ok = link.open() == 0;
    for (const std::vector<uint8_t> &f : frames)
        *ok = *ok && link.write_frame(f) == 0 && link.read_answer(answer) > 0;
    *ok = *ok && link.write_frame(read_frame) == 0;
    double spent = figures::NowS() - t0;
    usleep(kRawReadPauseUs);
    t0 = figures::NowS();
    *ok = *ok && link.read_answer(answer) == static_cast<int>(vsim::kReadAnswerBytes);
    link.close();
    spent += figures::NowS() - t0;
    return spent;
}

int mode_read(int rounds)
{
    std::vector<double> lib_overhead;
    std::vector<double> raw;
    for (int i = 0; i < rounds; ++i) {
        idInfo info;
        std::memset(&info, 0, sizeof info);
        const double t0 = figures::NowS();
        const int result = ReadIDCardLib(&info, VESSIK_READER_USB);
        const double spent = figures::NowS() - t0;
        if (result != VESSIK_RESULT_CARD_READ) {
            std::printf("figures error=library read gave %d\n", result);
            return 1;
        }
        lib_overhead.push_back(spent - kMandatedWaitS);
        bool ok = false;
        raw.push_back(raw_read_once(&ok));
        if (!ok) {
            std::printf("figures error=raw read failed\n");
            return 1;
        }
    }
    // Other load on the machine only ever adds time: the minimum is the
    // steadier estimate, the median the typical one.
    const double lib = figures::Median(lib_overhead);
    const double floor = figures::Median(raw);
    const double lib_min = *std::min_element(lib_overhead.begin(), lib_overhead.end());
    const double floor_min = *std::min_element(raw.begin(), raw.end());
    std::printf("figures rounds=%d median: library_overhead_ms=%.2f raw_floor_ms=%.2f ratio=%.2f\n",
                rounds, lib * 1e3, floor * 1e3, lib / floor);
    std::printf(
        "figures rounds=%d minimum: library_overhead_ms=%.2f raw_floor_ms=%.2f ratio=%.2f\n",
        rounds, lib_min * 1e3, floor_min * 1e3, lib_min / floor_min);
    return 0;
}

int mode_raw_cycles(int cycles)
{
    RawLink link;
    if (link.open() != 0) {
        std::printf("figures error=cannot open the reader\n");
        return 1;
    }
    unsigned char answer[2 * testsupport::kRawStageBytes];
    const std::vector<uint8_t> status = CommandFrame(vsim::kCmdModuleId);
    const std::vector<uint8_t> find = CommandFrame(vsim::kCmdFind);
    const double cpu0 = figures::ProcessCpuS();
    const double t0 = figures::NowS();
    for (int i = 0; i < cycles; ++i) {
        link.write_frame(status);
        link.read_answer(answer);
        link.write_frame(find);
        link.read_answer(answer);
    }
    const double wall = figures::NowS() - t0;
    const double cpu = figures::ProcessCpuS() - cpu0;
    link.close();
    std::printf("figures raw_cycles=%d wall_ms_per_cycle=%.3f cpu_ms_per_cycle=%.3f\n", cycles,
                wall * 1e3 / cycles, cpu * 1e3 / cycles);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const testsupport::ClientArgs args(argc, argv);
    if (args.mode() == "read")
        return mode_read(args.count(5));
    if (args.mode() == "raw-cycles")
        return mode_raw_cycles(args.count(1000));
    std::fprintf(stderr, "usage: vessik_raw_figures read N | raw-cycles N\n");
    return 2;
}
