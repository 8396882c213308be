// SPDX-License-Identifier: LGPL-2.1-or-later
// Figures of vessik_read through the real libusb-1.0, for runs under
// vessik-virtual-reader. Each mode prints "key=value" lines.
//
//   idle SECONDS   one read with no card until its deadline: the client's CPU
//   overhead N     N reads of a card already on the reader, each timed; the
//                  time beyond the module's mandated waits is the overhead
//   wait           one read with no deadline (the launcher lays the card
//                  down with --card-after and logs the frames with --log)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "figures_clock.h"
#include "vessik_read.h"

namespace {

// The waits of one read of a card already there: 0.9 s after the read
// command, 600 us before it, 100 us around the status, find and select.
constexpr double kMandatedWaitS = 0.9 + 600e-6 + 6 * 100e-6;
constexpr unsigned kMsPerS = 1000;

int idle(double seconds)
{
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = static_cast<unsigned>(seconds * kMsPerS);
    vessik_card card;
    vessik_card_init(&card);
    const double wall0 = figures::NowS();
    const double cpu0 = figures::ProcessCpuS();
    const int rc = vessik_read(&options, &card);
    const double wall = figures::NowS() - wall0;
    const double cpu = figures::ProcessCpuS() - cpu0;
    std::printf("idle result=%s wall_s=%.3f cpu_s=%.4f cpu_per_s=%.5f\n", vessik_strerror(rc), wall,
                cpu, cpu / wall);
    return rc == VESSIK_E_TIMEOUT ? 0 : 1;
}

int overhead(int reads)
{
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.report_same_card = 1;
    std::vector<double> extra_ms;
    for (int i = 0; i < reads; ++i) {
        vessik_card card;
        vessik_card_init(&card);
        const double t0 = figures::NowS();
        const int rc = vessik_read(&options, &card);
        const double took = figures::NowS() - t0;
        if (rc != VESSIK_OK) {
            std::printf("overhead result=%s\n", vessik_strerror(rc));
            return 1;
        }
        extra_ms.push_back((took - kMandatedWaitS) * kMsPerS);
        std::printf("read %d took_s=%.4f overhead_ms=%.2f find_us=%u select_us=%u read_us=%u "
                    "decode_us=%u\n",
                    i, took, extra_ms.back(), card.find_us, card.select_us, card.read_us,
                    card.decode_us);
    }
    std::sort(extra_ms.begin(), extra_ms.end());
    std::printf("overhead reads=%d min_ms=%.2f median_ms=%.2f max_ms=%.2f\n", reads,
                extra_ms.front(), extra_ms[extra_ms.size() / 2], extra_ms.back());
    return 0;
}

int wait_for_card()
{
    vessik_card card;
    vessik_card_init(&card);
    const int rc = vessik_read(nullptr, &card);
    std::printf("wait result=%s find_us=%u select_us=%u read_us=%u\n", vessik_strerror(rc),
                card.find_us, card.select_us, card.read_us);
    return rc == VESSIK_OK ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "idle" && argc > 2)
        return idle(std::atof(argv[2]));
    if (mode == "overhead" && argc > 2)
        return overhead(std::atoi(argv[2]));
    if (mode == "wait")
        return wait_for_card();
    std::fprintf(stderr, "usage: vessik_api_figures idle SECONDS | overhead N | wait\n");
    return 2;
}
