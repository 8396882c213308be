// SPDX-License-Identifier: LGPL-2.1-or-later
// Figures of several reader handles in one process, through the real
// libusb-1.0; run under vessik-virtual-reader (./run.sh bench does):
//
//   reads ROUNDS      (a card on the reader) ROUNDS reads of the card on
//                     usb:1-1, one after the other: the median wall time
//                     (the C side of bench/python_figures.py)
//   together ROUNDS   (--readers 2, cards on both) one read on usb:1-1
//                     alone against reads on usb:1-1 and usb:1-2 at once,
//                     ROUNDS of each, taken in turn: wall times and ratio
//   idle SECONDS      (--readers 4 --no-card) a read with no card on every
//                     reader at once until the deadline: CPU per reader
//   overhead ROUNDS   (a card on the reader) reads of a card already there with
//                     the frame trace off and on, beyond the mandated waits
//   raw-idle SECONDS  (--no-card) the floor under idle: the first reader's
//                     find exchange straight through libusb, at a waiting
//                     read's pace (one per 100 ms), without the library
//
// Each prints one "figures key=value ..." line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <libusb.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "figures_clock.h"
#include "raw_link.h"
#include "vessik_read.h"

namespace {

using figures::Median;
using figures::NowS;
using figures::ProcessCpuS;
using figures::Seconds;

constexpr int kMaxReaders = 16;
constexpr unsigned kReadDeadlineMs = 10000;
constexpr double kMsPerS = 1000.0;

// One read of the card lying on `reader`; false if none was read.
bool ReadCard(vessik_reader *reader)
{
    return figures::ReadLyingCard(reader, kReadDeadlineMs) == VESSIK_OK;
}

bool OpenAll(const std::vector<std::string> &wheres, std::vector<vessik_reader *> *readers)
{
    for (const std::string &where : wheres) {
        vessik_reader *reader = nullptr;
        const int rc = vessik_reader_open(where.c_str(), &reader);
        if (rc != VESSIK_OK) {
            std::printf("figures error=%s: %s\n", where.c_str(), vessik_strerror(rc));
            return false;
        }
        readers->push_back(reader);
    }
    return true;
}

void CloseAll(const std::vector<vessik_reader *> &readers)
{
    for (vessik_reader *reader : readers)
        vessik_reader_close(reader);
}

int Together(int rounds)
{
    std::vector<vessik_reader *> readers;
    if (!OpenAll({"usb:1-1", "usb:1-2"}, &readers)) {
        CloseAll(readers);
        return 1;
    }
    bool ok = ReadCard(readers[0]) && ReadCard(readers[1]); // the first read of each, untimed
    std::vector<double> alone;
    std::vector<double> both;
    for (int i = 0; ok && i < rounds; ++i) {
        double t0 = NowS();
        ok = ReadCard(readers[0]);
        alone.push_back(NowS() - t0);

        bool second_ok = false;
        t0 = NowS();
        std::thread second([&] { second_ok = ReadCard(readers[1]); });
        ok = ReadCard(readers[0]) && ok;
        second.join();
        both.push_back(NowS() - t0);
        ok = ok && second_ok;
    }
    CloseAll(readers);
    if (!ok) {
        std::printf("figures error=a read failed\n");
        return 1;
    }
    const double alone_s = Median(alone);
    const double both_s = Median(both);
    std::printf("figures together rounds=%d median_alone_ms=%.1f median_both_ms=%.1f "
                "ratio=%.3f min_alone_ms=%.1f min_both_ms=%.1f\n",
                rounds, alone_s * kMsPerS, both_s * kMsPerS, both_s / alone_s,
                *std::min_element(alone.begin(), alone.end()) * kMsPerS,
                *std::min_element(both.begin(), both.end()) * kMsPerS);
    return 0;
}

int Reads(int rounds)
{
    std::vector<vessik_reader *> readers;
    bool ok = OpenAll({"usb:1-1"}, &readers) && ReadCard(readers[0]); // the first read, untimed
    std::vector<double> times;
    for (int i = 0; ok && i < rounds; ++i) {
        const double t0 = NowS();
        ok = ReadCard(readers[0]);
        times.push_back(NowS() - t0);
    }
    CloseAll(readers);
    if (!ok) {
        std::printf("figures error=a read failed\n");
        return 1;
    }
    std::printf("figures reads rounds=%d median_ms=%.3f min_ms=%.3f\n", rounds,
                Median(times) * kMsPerS, *std::min_element(times.begin(), times.end()) * kMsPerS);
    return 0;
}

// The waits every read must make: 0.9 s after the read command, and the
// short ones around each of the three commands of a cycle.
constexpr double kMandatedWaitsS = 0.9 + 0.0006 + 6 * 0.0001;

void DiscardLine(int, const char *, void *) {}

// Reads of a card already there, with the frame trace off and on: the time
// each took beyond the waits the protocol mandates.
int Overhead(int rounds)
{
    std::vector<vessik_reader *> readers;
    if (!OpenAll({"usb"}, &readers)) {
        CloseAll(readers);
        return 1;
    }
    bool ok = ReadCard(readers[0]); // untimed
    std::vector<double> off;
    std::vector<double> on;
    for (int i = 0; ok && i < rounds; ++i) {
        for (const bool traced : {false, true}) {
            vessik_set_log_handler(traced ? VESSIK_LOG_TRACE : 0, traced ? DiscardLine : nullptr,
                                   nullptr);
            const double t0 = NowS();
            ok = ReadCard(readers[0]) && ok;
            (traced ? on : off).push_back(NowS() - t0 - kMandatedWaitsS);
        }
    }
    vessik_set_log_handler(0, nullptr, nullptr);
    CloseAll(readers);
    if (!ok) {
        std::printf("figures error=a read failed\n");
        return 1;
    }
    std::printf("figures overhead rounds=%d trace_off_median_ms=%.2f trace_on_median_ms=%.2f "
                "trace_off_min_ms=%.2f trace_on_min_ms=%.2f\n",
                rounds, Median(off) * kMsPerS, Median(on) * kMsPerS,
                *std::min_element(off.begin(), off.end()) * kMsPerS,
                *std::min_element(on.begin(), on.end()) * kMsPerS);
    return 0;
}

int Idle(double seconds)
{
    vessik_reader_info infos[kMaxReaders];
    for (vessik_reader_info &info : infos)
        vessik_reader_info_init(&info);
    const int count = std::min(vessik_reader_list(infos, kMaxReaders), kMaxReaders);
    std::vector<std::string> wheres;
    for (int i = 0; i < count; ++i)
        wheres.push_back(infos[i].location);
    std::vector<vessik_reader *> readers;
    if (wheres.empty() || !OpenAll(wheres, &readers)) {
        std::printf("figures error=no readers to wait on\n");
        CloseAll(readers);
        return 1;
    }

    std::vector<double> thread_cpu(readers.size(), 0.0);
    std::vector<int> results(readers.size(), VESSIK_OK);
    const double wall0 = NowS();
    const double cpu0 = ProcessCpuS();
    std::vector<std::thread> waiting;
    for (size_t i = 0; i < readers.size(); ++i) {
        waiting.emplace_back([&, i] {
            vessik_read_options options;
            vessik_read_options_init(&options); // the default interval
            options.deadline_ms = static_cast<unsigned>(seconds * kMsPerS);
            vessik_card card;
            vessik_card_init(&card);
            const double t0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
            results[i] = vessik_reader_read(readers[i], &options, &card);
            thread_cpu[i] = Seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        });
    }
    for (std::thread &t : waiting)
        t.join();
    const double wall = NowS() - wall0;
    const double cpu = ProcessCpuS() - cpu0;
    CloseAll(readers);

    bool all_timed_out = true;
    std::printf("figures idle readers=%zu wall_s=%.2f process_cpu_s_per_s_per_reader=%.5f",
                readers.size(), wall, cpu / wall / static_cast<double>(readers.size()));
    for (size_t i = 0; i < readers.size(); ++i) {
        std::printf(" %s=%.5f", wheres[i].c_str(), thread_cpu[i] / wall);
        all_timed_out = all_timed_out && results[i] == VESSIK_E_TIMEOUT;
    }
    std::printf("\n");
    return all_timed_out ? 0 : 1;
}

// The floor goes straight through libusb with the model's find frame, so
// that it does not lean on the library.
int RawIdle(double seconds)
{
    constexpr useconds_t kPauseUs = VESSIK_DEFAULT_POLL_INTERVAL_MS * 1000;
    const std::vector<uint8_t> find = testsupport::CommandFrame(vsim::kCmdFind);
    unsigned char answer[2 * testsupport::kRawStageBytes];
    testsupport::RawLink link;
    if (link.open() != 0) {
        std::printf("figures error=cannot open and claim the reader\n");
        link.close();
        return 1;
    }
    int finds = 0;
    bool ok = true;
    const double wall0 = NowS();
    const double cpu0 = ProcessCpuS();
    while (ok && NowS() - wall0 < seconds) {
        ok = link.write_frame(find) == 0 && link.read_answer(answer) >= 0;
        ++finds;
        usleep(kPauseUs);
    }
    const double wall = NowS() - wall0;
    const double cpu = ProcessCpuS() - cpu0;
    link.close();
    std::printf("figures raw-idle finds=%d wall_s=%.2f cpu_s_per_s=%.5f cpu_ms_per_find=%.3f%s\n",
                finds, wall, cpu / wall, cpu * kMsPerS / finds, ok ? "" : " error=a find failed");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const double amount = argc > 2 ? std::atof(argv[2]) : 0;
    if (mode == "together" && amount >= 1)
        return Together(static_cast<int>(amount));
    if (mode == "idle" && amount > 0)
        return Idle(amount);
    if (mode == "reads" && amount >= 1)
        return Reads(static_cast<int>(amount));
    if (mode == "overhead" && amount >= 1)
        return Overhead(static_cast<int>(amount));
    if (mode == "raw-idle" && amount > 0)
        return RawIdle(amount);
    std::fprintf(stderr,
                 "usage: vessik_reader_figures reads ROUNDS | together ROUNDS | overhead ROUNDS | "
                 "idle SECONDS | "
                 "raw-idle SECONDS\n"
                 "(under vessik-virtual-reader: --readers 2 for together, "
                 "--readers 4 --no-card for idle, --no-card for raw-idle)\n");
    return 2;
}
