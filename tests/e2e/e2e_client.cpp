// A client of libvessik and libusb-1.0 for end-to-end runs under
// vessik-virtual-reader. Each mode prints "key=value" lines that the tests
// and the measurement script read; read and maintenance end with a "left"
// line: what the process holds open afterwards against what it held before.
//
//   read MAX              ReadIDCardLib up to MAX times, stopping after a card
//   read-all N            ReadIDCardLib N times, whatever each one gives
//   heartbeat             the controller's heartbeat over USB on the library's link
//   self-check            the controller's self check, likewise
//   idle-in MS            one bulk IN with nothing to read, then one exchange
//   claim-after-crash     a child claims and dies; then this process claims
//   figures-read N        N library reads against N raw libusb reads
//   figures-raw-cycles N  N status+find exchanges straight through libusb
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
#include "vessik.h"

namespace {

constexpr uint16_t kVendor = 0x0400;
constexpr uint16_t kProduct = 0xC35A;
constexpr int kInterface = 0;
constexpr unsigned char kHeaderOut = 0x02;
constexpr unsigned char kBodyOut = 0x06;
constexpr unsigned char kHeaderIn = 0x81;
constexpr unsigned char kBodyIn = 0x85;
constexpr int kHeaderBytes = 7;
constexpr int kFrameBytes = 10;
constexpr int kStageBytes = 2048;
constexpr unsigned kStageTimeoutMs = 100;
constexpr int kStatusOffset = 9;
constexpr int kReadAnswerBytes = 1295;

// The module's four commands, written out here so that the raw figures do
// not lean on the library.
constexpr unsigned char kStatusFrame[kFrameBytes] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                     0x00, 0x03, 0x12, 0xFF, 0xEE};
constexpr unsigned char kFindFrame[kFrameBytes] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                   0x00, 0x03, 0x20, 0x01, 0x22};
constexpr unsigned char kSelectFrame[kFrameBytes] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                     0x00, 0x03, 0x20, 0x02, 0x21};
constexpr unsigned char kReadFrame[kFrameBytes] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                   0x00, 0x03, 0x30, 0x01, 0x32};

// The library's fixed waits in one read of a card already on the reader:
// 0.9 s after the read command, 600 us before it, 100 us around the others.
constexpr double kMandatedWaitS = 0.9 + 600e-6 + 6 * 100e-6;
// Longer than the model's read delay, so the raw read answer is ready.
constexpr useconds_t kRawReadPauseUs = 600000;

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
    Held h;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            ++h.fds;
            char target[PATH_MAX] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                std::strstr(target, "/bus/usb/") != nullptr)
                ++h.usb_nodes;
        }
        closedir(d);
        --h.fds; // the one that lists them
    }
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d))
            h.threads += e->d_name[0] != '.';
        closedir(d);
    }
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

// An open, claimed reader straight through libusb.
struct RawLink {
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;

    int open()
    {
        int rc = libusb_init(&ctx);
        if (rc < 0)
            return rc;
        handle = libusb_open_device_with_vid_pid(ctx, kVendor, kProduct);
        if (handle == nullptr)
            return LIBUSB_ERROR_NO_DEVICE;
        return libusb_claim_interface(handle, kInterface);
    }
    void close()
    {
        if (handle != nullptr) {
            libusb_release_interface(handle, kInterface);
            libusb_close(handle);
        }
        if (ctx != nullptr)
            libusb_exit(ctx);
        handle = nullptr;
        ctx = nullptr;
    }
    int write_frame(const unsigned char *frame)
    {
        int n = 0;
        int rc = libusb_bulk_transfer(handle, kHeaderOut, const_cast<unsigned char *>(frame),
                                      kHeaderBytes, &n, kStageTimeoutMs);
        if (rc == 0)
            rc = libusb_bulk_transfer(handle, kBodyOut,
                                      const_cast<unsigned char *>(frame) + kHeaderBytes,
                                      kFrameBytes - kHeaderBytes, &n, kStageTimeoutMs);
        return rc;
    }
    // The whole answer into `answer` (header, then body); its length or a libusb error.
    int read_answer(unsigned char *answer, unsigned timeout_ms = kStageTimeoutMs)
    {
        int head = 0;
        int body = 0;
        int rc = libusb_bulk_transfer(handle, kHeaderIn, answer, kStageBytes, &head, timeout_ms);
        if (rc == 0)
            rc = libusb_bulk_transfer(handle, kBodyIn, answer + head, kStageBytes, &body,
                                      timeout_ms);
        return rc < 0 ? rc : head + body;
    }
};

int mode_idle_in(unsigned timeout_ms)
{
    RawLink link;
    int rc = link.open();
    if (rc != 0) {
        std::printf("open rc=%s\n", libusb_error_name(rc));
        return 1;
    }
    unsigned char buf[kStageBytes];
    int n = 0;
    const double cpu0 = cpu_s();
    const double t0 = now_s();
    rc = libusb_bulk_transfer(link.handle, kHeaderIn, buf, kStageBytes, &n, timeout_ms);
    std::printf("idle_in rc=%s elapsed_ms=%.1f cpu_ms=%.2f\n", libusb_error_name(rc),
                (now_s() - t0) * 1e3, (cpu_s() - cpu0) * 1e3);

    // The emulator must still deliver the next answer whole.
    unsigned char answer[2 * kStageBytes] = {};
    rc = link.write_frame(kStatusFrame);
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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// One read's unavoidable USB work: open and claim, the four exchanges,
// release and close. The wait for the read answer is not counted.
double raw_read_once(bool *ok)
{
    unsigned char answer[2 * kStageBytes];
    RawLink link;
    double t0 = now_s();
    *ok = link.open() == 0;
    const unsigned char *frames[] = {kStatusFrame, kFindFrame, kSelectFrame};
    for (const unsigned char *f : frames) {
        *ok = *ok && link.write_frame(f) == 0 && link.read_answer(answer) > 0;
    }
    *ok = *ok && link.write_frame(kReadFrame) == 0;
    double spent = now_s() - t0;
    usleep(kRawReadPauseUs);
    t0 = now_s();
    *ok = *ok && link.read_answer(answer) == kReadAnswerBytes;
    link.close();
    spent += now_s() - t0;
    return spent;
}

int mode_figures_read(int rounds)
{
    std::vector<double> lib_overhead;
    std::vector<double> raw;
    for (int i = 0; i < rounds; ++i) {
        idInfo info;
        std::memset(&info, 0, sizeof info);
        const double t0 = now_s();
        const int result = ReadIDCardLib(&info, VESSIK_READER_USB);
        const double spent = now_s() - t0;
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
    const double lib = median(lib_overhead);
    const double floor = median(raw);
    const double lib_min = *std::min_element(lib_overhead.begin(), lib_overhead.end());
    const double floor_min = *std::min_element(raw.begin(), raw.end());
    std::printf("figures rounds=%d median: library_overhead_ms=%.2f raw_floor_ms=%.2f ratio=%.2f\n",
                rounds, lib * 1e3, floor * 1e3, lib / floor);
    std::printf(
        "figures rounds=%d minimum: library_overhead_ms=%.2f raw_floor_ms=%.2f ratio=%.2f\n",
        rounds, lib_min * 1e3, floor_min * 1e3, lib_min / floor_min);
    return 0;
}

int mode_figures_raw_cycles(int cycles)
{
    RawLink link;
    if (link.open() != 0) {
        std::printf("figures error=cannot open the reader\n");
        return 1;
    }
    unsigned char answer[2 * kStageBytes];
    const double cpu0 = cpu_s();
    const double t0 = now_s();
    for (int i = 0; i < cycles; ++i) {
        link.write_frame(kStatusFrame);
        link.read_answer(answer);
        link.write_frame(kFindFrame);
        link.read_answer(answer);
    }
    const double wall = now_s() - t0;
    const double cpu = cpu_s() - cpu0;
    link.close();
    std::printf("figures raw_cycles=%d wall_ms_per_cycle=%.3f cpu_ms_per_cycle=%.3f\n", cycles,
                wall * 1e3 / cycles, cpu * 1e3 / cycles);
    return 0;
}

int count_arg(int argc, char **argv, int fallback)
{
    return argc > 2 ? std::max(1, std::atoi(argv[2])) : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "read")
        return mode_read(count_arg(argc, argv, 1), true);
    if (mode == "read-all")
        return mode_read(count_arg(argc, argv, 1), false);
    if (mode == "heartbeat" || mode == "self-check")
        return mode_maintenance(mode == "heartbeat");
    if (mode == "idle-in")
        return mode_idle_in(static_cast<unsigned>(count_arg(argc, argv, 1000)));
    if (mode == "claim-after-crash")
        return mode_claim_after_crash();
    if (mode == "figures-read")
        return mode_figures_read(count_arg(argc, argv, 5));
    if (mode == "figures-raw-cycles")
        return mode_figures_raw_cycles(count_arg(argc, argv, 1000));
    std::fprintf(stderr, "usage: e2e_client read MAX | read-all N | heartbeat | self-check | "
                         "idle-in MS | claim-after-crash | "
                         "figures-read N | figures-raw-cycles N\n");
    return 2;
}
