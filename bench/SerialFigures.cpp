// SPDX-License-Identifier: LGPL-2.1-or-later
// Figures of a security module on a serial line; run under
// vessik-virtual-reader --serial, whose module answers on a pseudo-terminal
// (./run.sh bench does):
//
//   read RATE ROUNDS   (a card on the module, --serial-rate RATE --fault
//                      serial-wire-time) ROUNDS reads of the card: the median
//                      wall time, against the wire-time floor of the frames
//                      one read exchanges at that rate (10 bits a byte), as
//                      the frame trace counts them in one more read
//   idle RATE SECONDS  (--no-card) a read with no card until the deadline, at
//                      the default interval: this process's CPU per second
//
// Each prints one "figures key=value ..." line.
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

using figures::Median;
using figures::NowS;
using figures::ProcessCpuS;

constexpr unsigned kReadDeadlineMs = 20000;
constexpr double kMsPerS = 1000.0;
constexpr double kBitsPerByte = 10.0; // 8N1: a start bit, eight data bits, a stop bit
constexpr int kHexDigitsPerByte = 2;
constexpr char kSerialPathVariable[] = "VESSIK_VIRTUAL_SERIAL";

// Bytes on the line in both directions, from the frame trace's lines: a
// frame out by its bytes, an answer by its length.
struct WireCount {
    long bytes = 0;
    int frames = 0;
};

void CountFrame(int level, const char *message, void *context)
{
    if (level != VESSIK_LOG_TRACE || std::strncmp(message, "frame ", 6) != 0)
        return;
    auto *count = static_cast<WireCount *>(context);
    if (std::strncmp(message, "frame out ", 10) == 0) {
        const char *hex = std::strstr(message, " bytes=");
        if (hex != nullptr) {
            count->bytes += static_cast<long>(std::strlen(hex + 7)) / kHexDigitsPerByte;
            ++count->frames;
        }
        return;
    }
    const char *len = std::strstr(message, " len=");
    if (len != nullptr) {
        count->bytes += std::atol(len + 5);
        ++count->frames;
    }
}

int Read(vessik_reader *reader, int rate, int rounds)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const double start = NowS();
        if (figures::ReadLyingCard(reader, kReadDeadlineMs) != VESSIK_OK) {
            std::fprintf(stderr, "read %d failed\n", i + 1);
            return EXIT_FAILURE;
        }
        ms.push_back((NowS() - start) * kMsPerS);
    }
    WireCount wire;
    vessik_set_log_handler(VESSIK_LOG_TRACE, CountFrame, &wire);
    const int traced = figures::ReadLyingCard(reader, kReadDeadlineMs);
    vessik_set_log_handler(0, nullptr, nullptr);
    if (traced != VESSIK_OK) {
        std::fprintf(stderr, "the traced read failed\n");
        return EXIT_FAILURE;
    }
    const double floor_ms = static_cast<double>(wire.bytes) * kBitsPerByte * kMsPerS / rate;
    std::printf("figures serial-read rate=%d rounds=%d read_ms_median=%.1f read_ms_min=%.1f "
                "read_ms_max=%.1f frames=%d wire_bytes=%ld floor_ms=%.1f over_floor_ms=%.1f\n",
                rate, rounds, Median(ms), *std::min_element(ms.begin(), ms.end()),
                *std::max_element(ms.begin(), ms.end()), wire.frames, wire.bytes, floor_ms,
                Median(ms) - floor_ms);
    return EXIT_SUCCESS;
}

int Idle(vessik_reader *reader, int rate, int seconds)
{
    const double cpu_start = ProcessCpuS();
    const double start = NowS();
    const int result = figures::ReadLyingCard(reader, static_cast<unsigned>(seconds) * 1000u);
    const double wall = NowS() - start;
    const double cpu_ms = (ProcessCpuS() - cpu_start) * kMsPerS;
    if (result != VESSIK_E_TIMEOUT) {
        std::fprintf(stderr, "the idle read ended with %s, not the deadline\n",
                     vessik_strerror(result));
        return EXIT_FAILURE;
    }
    std::printf("figures serial-idle rate=%d interval_ms=%d wall_s=%.2f cpu_ms=%.1f "
                "cpu_ms_per_s=%.2f\n",
                rate, VESSIK_DEFAULT_POLL_INTERVAL_MS, wall, cpu_ms, cpu_ms / wall);
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = std::getenv(kSerialPathVariable);
    if (argc != 4 || path == nullptr) {
        std::fprintf(stderr,
                     "usage (under vessik-virtual-reader --serial): %s read RATE ROUNDS | idle "
                     "RATE SECONDS\n",
                     argv[0]);
        return EXIT_FAILURE;
    }
    const std::string mode = argv[1];
    const int rate = std::atoi(argv[2]);
    const int count = std::atoi(argv[3]);
    const std::string where = std::string("serial:") + path + "@" + std::to_string(rate);
    vessik_reader *reader = nullptr;
    const int opened = vessik_reader_open(where.c_str(), &reader);
    if (opened != VESSIK_OK || count <= 0) {
        std::fprintf(stderr, "%s: %s\n", where.c_str(), vessik_strerror(opened));
        return EXIT_FAILURE;
    }
    int status = EXIT_FAILURE;
    if (mode == "read")
        status = Read(reader, rate, count);
    else if (mode == "idle")
        status = Idle(reader, rate, count);
    else
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    vessik_reader_close(reader);
    return status;
}
