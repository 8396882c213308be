// SPDX-License-Identifier: LGPL-2.1-or-later
// A client of libvessik and libusb-1.0 for end-to-end runs under
// vessik-virtual-reader. Each mode prints "key=value" lines that the tests
// read; read and maintenance end with a "left"
// line: what the process holds open afterwards against what it held before.
//
//   read MAX              ReadIDCardLib up to MAX times, stopping after a card
//   read-all N            ReadIDCardLib N times, whatever each one gives
//   heartbeat             the controller's heartbeat over USB on the library's link
//   self-check            the controller's self check, likewise
//   idle-in MS            one bulk IN with nothing to read, then one exchange
//   claim-after-crash     a child claims and dies; then this process claims
// (The figures against raw libusb are bench/raw_figures.cpp.)
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <libusb.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "IdCardLib.h"
#include "client_args.h"
#include "footprint.h"
#include "raw_link.h"
#include "vessik.h"

namespace {

using testsupport::CommandFrame;
using testsupport::RawLink;

constexpr int kStatusOffset = 9;

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double cpu_s()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Held {
    int fds = 0;
    int usb_nodes = 0; // descriptors on a USB device node
    int threads = 0;
};

Held held_now()
{
    const testsupport::Footprint f = testsupport::FootprintOf();
    Held h;
    h.fds = f.fds;
    h.usb_nodes = f.usb_nodes;
    h.threads = f.threads;
    return h;
}

// libusb_exit has joined libusb's event thread when it returns, but the kernel
// still lists a joined thread among the tasks until the thread has finished
// exiting, which a busy machine can hold up. So the count is taken again until
// it is back to the count before, for at most a bound far above any exit: a
// thread left running never leaves the list and still shows.
constexpr double kThreadExitBoundS = 2.0;
constexpr useconds_t kThreadExitPollUs = 1000;

Held held_once_threads_exit(const Held &before)
{
    const double start = now_s();
    Held after = held_now();
    while (after.threads > before.threads && now_s() - start < kThreadExitBoundS) {
        usleep(kThreadExitPollUs);
        after = held_now();
    }
    return after;
}

// The library's own link (handle and context) and the process's holdings,
// after a mode against before it.
void print_left(const Held &before)
{
    const Held after = held_once_threads_exit(before);
    std::printf("left fds_before=%d fds_after=%d usb_nodes=%d threads_before=%d threads_after=%d "
                "handle=%d context=%d\n",
                before.fds, after.fds, after.usb_nodes, before.threads, after.threads,
                g_IdCardMain.usb.dev_handle != nullptr ? 1 : 0,
                g_IdCardMain.usb.usb_context != nullptr ? 1 : 0);
}

void on_status(int kind, void *message)
{
    std::printf("callback kind=%d text=%s\n", kind, static_cast<const char *>(message));
}

int mode_read(int max_reads, bool stop_after_card)
{
    const Held before = held_now();
    CARD_SetReadInfoCB(on_status);
    for (int i = 0; i < max_reads; ++i) {
        idInfo info;
        std::memset(&info, 0, sizeof info);
        const double start = now_s();
        const int result = ReadIDCardLib(&info, VESSIK_READER_USB);
        const double elapsed_ms = (now_s() - start) * 1e3;
        std::printf("read result=%d elapsed_ms=%.1f cardno=%.36s name=%.30s nation=%.4s "
                    "sex=%.2s birth=%.16s photo_len=%d photo0=%02x\n",
                    result, elapsed_ms, info.cardno, info.name, info.nation, info.sex, info.birth,
                    info.photo_len, info.photo[0]);
        std::fflush(stdout);
        if (stop_after_card && result == VESSIK_RESULT_CARD_READ)
            break;
    }
    print_left(before);
    return 0;
}

// One of the controller's checks on the link the library's reads use.
int mode_maintenance(bool heartbeat)
{
    const Held before = held_now();
    const int connect = g_IdCardMain.usb.ConnectUsb();
    std::printf("connect rc=%d\n", connect);
    if (connect == 0) {
        const double t0 = now_s();
        if (heartbeat) {
            const int beat = g_IdCardMain.heartbeat(CARDTYPE_USB);
            std::printf("heartbeat rc=%d elapsed_ms=%.1f\n", beat, (now_s() - t0) * 1e3);
        } else {
            g_IdCardMain.self_check();
            std::printf("self_check elapsed_ms=%.1f\n", (now_s() - t0) * 1e3);
        }
    }
    g_IdCardMain.usb.DisConnectUsb();
    print_left(before);
    return 0;
}

int mode_idle_in(unsigned timeout_ms)
{
    RawLink link;
    int rc = link.open();
    if (rc != 0) {
        std::printf("open rc=%s\n", libusb_error_name(rc));
        return 1;
    }
    unsigned char buf[testsupport::kRawStageBytes];
    int n = 0;
    const double cpu0 = cpu_s();
    const double t0 = now_s();
    rc = libusb_bulk_transfer(link.handle, testsupport::kRawHeaderIn, buf, sizeof buf, &n,
                              timeout_ms);
    std::printf("idle_in rc=%s elapsed_ms=%.1f cpu_ms=%.2f\n", libusb_error_name(rc),
                (now_s() - t0) * 1e3, (cpu_s() - cpu0) * 1e3);

    // The emulator must still deliver the next answer whole.
    unsigned char answer[2 * testsupport::kRawStageBytes] = {};
    rc = link.write_frame(CommandFrame(vsim::kCmdModuleId));
    const int len = rc == 0 ? link.read_answer(answer) : rc;
    std::printf("after_timeout len=%d status=%02x\n", len, answer[kStatusOffset]);
    link.close();
    return 0;
}

int mode_claim_after_crash()
{
    const pid_t pid = fork();
    if (pid == 0) {
        RawLink link;
        _exit(link.open() == 0 ? 0 : 1); // no release, no close: the process just ends
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("child claimed=%d\n", WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0);
    RawLink link;
    const int rc = link.open();
    std::printf("claim rc=%d\n", rc);
    link.close();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const testsupport::ClientArgs args(argc, argv);
    const std::string mode = args.mode();
    if (mode == "read")
        return mode_read(args.count(1), true);
    if (mode == "read-all")
        return mode_read(args.count(1), false);
    if (mode == "heartbeat" || mode == "self-check")
        return mode_maintenance(mode == "heartbeat");
    if (mode == "idle-in")
        return mode_idle_in(static_cast<unsigned>(args.count(1000)));
    if (mode == "claim-after-crash")
        return mode_claim_after_crash();
    std::fprintf(stderr, "usage: e2e_client read MAX | read-all N | heartbeat | self-check | "
                         "idle-in MS | claim-after-crash\n");
    return 2;
}
