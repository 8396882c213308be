// SPDX-License-Identifier: LGPL-2.1-or-later
// Card reads through the library and the real libusb-1.0, all in one
// process, under vessik-virtual-reader --control: good cards, absent cards,
// faults the read recovers from, faults it does not, and a reader pulled out
// before or during a read. Before each read the client asks the launcher for
// a fresh reader with that round's faults.
//
// The library's fixed waits are cut short (usleep and sleep below take the
// library's calls), so the run costs USB traffic rather than waiting; the
// reader answers a read command at once to match.
//
// Prints the testbed folder, one "usage" line after the warm-up and one at
// the end (descriptors, threads, RSS, live heap under a sanitizer), and a
// "soak" summary; exits 1 when a read ended otherwise than its round expects.
//
//   soak_real_client READS
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "footprint.h"
#include "vessik.h"

// From the sanitizer runtime when there is one (gcc ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

constexpr unsigned kWaitDivisor = 100; // 0.9 s after the read command becomes 9 ms
constexpr long kNsPerUs = 1000;
constexpr unsigned kUsPerS = 1000000;
constexpr int kWarmUpReads = 40;
constexpr size_t kReplyBytes = 1024;
const std::string kSampleCardNo = "990000199003070013";

// One kind of round: the reader's faults, whether a card lies on it, whether
// the reader is pulled out before the read, and the result the read gives.
struct Round {
    const char *name;
    const char *faults;
    bool card;
    bool unplugged;
    int result;
};

// The reader answers the read command at once: the library's wait is cut too.
const Round kRounds[] = {
    {"good", "", true, false, VESSIK_RESULT_CARD_READ},
    {"absent", "unplug-after-transfers=40", false, false, VESSIK_RESULT_NO_READER},
    {"select-retried", "select-fails=2", true, false, VESSIK_RESULT_CARD_READ},
    {"unplugged", "", true, true, VESSIK_RESULT_NO_READER},
    {"stage-timeout", "in-timeout=81:2", true, false, VESSIK_RESULT_CARD_READ},
    {"pulled-mid-read", "unplug-after-transfers=10", true, false, VESSIK_RESULT_NO_READER},
    {"every-select-fails", "select-fails=-1 unplug-after-transfers=30", true, false,
     VESSIK_RESULT_NO_READER},
    // The library judges answers by status and length only: damaged ones still read.
    {"damaged-answers", "damage-check damage-preamble", true, false, VESSIK_RESULT_CARD_READ},
    {"claim-refused", "claim-fails", true, false, VESSIK_RESULT_NO_READER},
    {"short-answer", "read-short=100 unplug-after-transfers=60", true, false,
     VESSIK_RESULT_NO_READER},
    {"kernel-driver", "kernel-driver", true, false, VESSIK_RESULT_CARD_READ},
};
constexpr int kRoundKinds = sizeof(kRounds) / sizeof(kRounds[0]);

int g_control = -1;

// Sends one command to the launcher; its answer, or "" when the socket failed.
std::string command(const std::string &text)
{
    if (send(g_control, text.data(), text.size(), MSG_NOSIGNAL) < 0)
        return "";
    char reply[kReplyBytes];
    const ssize_t n = recv(g_control, reply, sizeof reply, 0);
    return n > 0 ? std::string(reply, static_cast<size_t>(n)) : "";
}

bool command_ok(const std::string &text)
{
    const std::string reply = command(text);
    if (reply == "ok")
        return true;
    std::fprintf(stderr, "soak_real_client: %s: %s\n", text.c_str(),
                 reply.empty() ? "no answer" : reply.c_str());
    return false;
}

struct Usage {
    int fds = 0;
    int threads = 0;
    long rss_kb = 0;
    long heap_bytes = -1; // -1: no sanitizer runtime to ask
};

Usage usage_now()
{
    Usage u;
    const testsupport::Footprint f = testsupport::FootprintOf();
    u.fds = f.fds;
    u.threads = f.threads;
    u.rss_kb = f.rss_kb;
    if (__sanitizer_get_current_allocated_bytes != nullptr)
        u.heap_bytes = static_cast<long>(__sanitizer_get_current_allocated_bytes());
    return u;
}

void print_usage(const char *when, int reads, const Usage &u)
{
    std::printf("usage when=%s reads=%d fds=%d threads=%d rss_kb=%ld heap_bytes=%ld\n", when, reads,
                u.fds, u.threads, u.rss_kb, u.heap_bytes);
}

void on_status(int, void *) {} // messages are checked by the end-to-end tests

// One round; false when the read gave another result, or a card read gave
// another card.
bool run_round(const Round &r)
{
    const std::string setup = std::string("reader read-delay-us=0 ") + r.faults;
    if (!command_ok(setup) || (r.card && !command_ok("card")) ||
        (r.unplugged && !command_ok("unplug")))
        return false;
    idInfo info;
    std::memset(&info, 0, sizeof info);
    const int result = ReadIDCardLib(&info, VESSIK_READER_USB);
    const bool right_card =
        result != VESSIK_RESULT_CARD_READ ||
        std::strncmp(info.cardno, kSampleCardNo.c_str(), sizeof info.cardno) == 0;
    if (result == r.result && right_card)
        return true;
    std::printf("wrong round=%s result=%d expected=%d cardno=%.36s\n", r.name, result, r.result,
                info.cardno);
    return false;
}

} // namespace

// The library's fixed waits, shortened. The library is linked to this
// program, so its calls land here first.
extern "C" int usleep(useconds_t us)
{
    const useconds_t cut = us / kWaitDivisor;
    timespec t{static_cast<time_t>(cut / kUsPerS), static_cast<long>(cut % kUsPerS) * kNsPerUs};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
    return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
    usleep(static_cast<useconds_t>(seconds) * kUsPerS);
    return 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *control = getenv("VESSIK_READER_CONTROL");
    const int reads = argc > 1 ? std::atoi(argv[1]) : 0;
    if (control == nullptr || reads <= kWarmUpReads) {
        std::fprintf(stderr,
                     "usage: vessik-virtual-reader --control -- soak_real_client READS "
                     "(READS above %d)\n",
                     kWarmUpReads);
        return 2;
    }
    g_control = std::atoi(control);
    const char *testbed = getenv("UMOCKDEV_DIR");
    std::printf("testbed dir=%s\n", testbed != nullptr ? testbed : "");
    CARD_SetReadInfoCB(on_status);

    int wrong = 0;
    for (int i = 0; i < reads; ++i) {
        if (i == kWarmUpReads)
            print_usage("warm", i, usage_now());
        const Round &r = kRounds[i % kRoundKinds];
        wrong += run_round(r) ? 0 : 1;
    }
    print_usage("end", reads, usage_now());
    std::printf("soak reads=%d wrong=%d kinds=%d\n", reads, wrong, kRoundKinds);
    return wrong == 0 ? 0 : 1;
}
