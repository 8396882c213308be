// SPDX-License-Identifier: LGPL-2.1-or-later
// Time to card: from the card laid on the reader to the read returning,
// with the fixed wait after the read command and answer driven. Run under
// vessik-virtual-reader --control --no-card --card-read-ms MODULE_MS
// (./run.sh bench does), on USB or, with --serial --fault serial-wire-time,
// on the serial module:
//
//   WHERE MODULE_MS RATE ROUNDS
//
// WHERE is usb or serial (the launcher's module, VESSIK_VIRTUAL_SERIAL);
// RATE the serial line's rate (ignored for usb). Each round reads once each
// way: the read waits with no card, polling every millisecond, and the card
// is laid through the launcher's control socket. The floor is the module's
// read time plus the frames of a find, a select and a read on the wire
// (full speed USB at 12 Mbit/s, 8 bits a byte; a serial line 10 bits a byte).
// Prints one "figures time-to-card ..." line per way.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "figures_clock.h"
#include "vessik_read.h"

namespace {

using figures::Median;
using figures::NowS;

constexpr double kMsPerS = 1000.0;
constexpr unsigned kReadDeadlineMs = 20000;
constexpr unsigned kPollIntervalMs = 1;
// How long the read polls an empty reader before the card is laid.
constexpr useconds_t kEmptyPollUs = 50000;
// The frames of a find, a select and a read, commands and answers.
constexpr double kCardFrameBytes = 10 + 15 + 10 + 19 + 10 + 1295;
constexpr double kUsbBitsPerS = 12e6;
constexpr double kUsbBitsPerByte = 8.0;
constexpr double kSerialBitsPerByte = 10.0;
constexpr char kControlVariable[] = "VESSIK_READER_CONTROL";
constexpr char kSerialPathVariable[] = "VESSIK_VIRTUAL_SERIAL";
constexpr int kReplyBytes = 256;

// One command to the launcher; true when it answers "ok".
bool Control(int fd, const std::string &command)
{
    if (send(fd, command.data(), command.size(), 0) < 0)
        return false;
    char reply[kReplyBytes] = {};
    return recv(fd, reply, sizeof reply - 1, 0) > 0 && std::strncmp(reply, "ok", 2) == 0;
}

// One read that starts on an empty reader; the seconds from the card laid
// to the read's return, or a negative number when it failed.
double TimeToCard(vessik_reader *reader, int control, const std::string &prefix, bool answer_driven)
{
    if (!Control(control, prefix + "lift")) {
        std::printf("figures error=the launcher lifted no card\n");
        return -1;
    }
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = kReadDeadlineMs;
    options.poll_interval_ms = kPollIntervalMs;
    options.answer_driven = answer_driven ? 1 : 0;
    // Under load the card may be laid before the read's first find has seen
    // the reader empty: it is the same card as last time, and must count.
    options.report_same_card = 1;
    vessik_card card;
    vessik_card_init(&card);
    int rc = VESSIK_OK;
    std::atomic<double> returned{0};
    std::thread read([&] {
        rc = vessik_reader_read(reader, &options, &card);
        returned = NowS();
    });
    usleep(kEmptyPollUs);
    const double laid = NowS();
    const bool ok = Control(control, prefix + "card");
    read.join();
    if (!ok || rc != VESSIK_OK)
        std::printf("figures error=%s after %.1f ms\n",
                    ok ? vessik_strerror(rc) : "the launcher laid no card",
                    (returned - laid) * kMsPerS);
    return ok && rc == VESSIK_OK ? returned - laid : -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s usb|serial MODULE_MS RATE ROUNDS\n", argv[0]);
        return 2;
    }
    const bool serial = std::strcmp(argv[1], "serial") == 0;
    const double module_ms = std::atof(argv[2]);
    const int rate = std::atoi(argv[3]);
    const int rounds = std::atoi(argv[4]);
    const char *control_text = std::getenv(kControlVariable);
    const char *serial_path = std::getenv(kSerialPathVariable);
    if (control_text == nullptr || (serial && (serial_path == nullptr || rate <= 0))) {
        std::printf("figures error=run under vessik-virtual-reader --control%s\n",
                    serial ? " --serial" : "");
        return 1;
    }
    const int control = std::atoi(control_text);
    std::string where = "usb";
    if (serial)
        where = std::string("serial:") + serial_path + "@" + std::to_string(rate);
    vessik_reader *reader = nullptr;
    const int opened = vessik_reader_open(where.c_str(), &reader);
    if (opened != VESSIK_OK) {
        std::printf("figures error=%s: %s\n", where.c_str(), vessik_strerror(opened));
        return 1;
    }
    const std::string prefix = serial ? "serial:" : "1:";
    const double transfer_ms = serial ? kCardFrameBytes * kSerialBitsPerByte / rate * kMsPerS
                                      : kCardFrameBytes * kUsbBitsPerByte / kUsbBitsPerS * kMsPerS;
    const double floor_ms = module_ms + transfer_ms;
    std::vector<double> fixed;
    std::vector<double> driven;
    bool ok = true;
    for (int i = 0; ok && i < rounds; ++i) {
        const double f = TimeToCard(reader, control, prefix, false);
        const double d = TimeToCard(reader, control, prefix, true);
        ok = f >= 0 && d >= 0;
        fixed.push_back(f);
        driven.push_back(d);
    }
    vessik_reader_close(reader);
    if (!ok) {
        std::printf("figures error=a read failed\n");
        return 1;
    }
    for (const bool answer_driven : {false, true}) {
        const std::vector<double> &times = answer_driven ? driven : fixed;
        const double median_ms = Median(times) * kMsPerS;
        std::printf("figures time-to-card link=%s rate=%d module_ms=%.0f read=%s rounds=%d "
                    "median_ms=%.1f min_ms=%.1f max_ms=%.1f floor_ms=%.1f above_floor_ms=%.1f\n",
                    serial ? "serial" : "usb", serial ? rate : 0, module_ms,
                    answer_driven ? "answer-driven" : "fixed-wait", rounds, median_ms,
                    *std::min_element(times.begin(), times.end()) * kMsPerS,
                    *std::max_element(times.begin(), times.end()) * kMsPerS, floor_ms,
                    median_ms - floor_ms);
    }
    return 0;
}
