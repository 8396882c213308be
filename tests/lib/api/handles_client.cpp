// SPDX-License-Identifier: LGPL-2.1-or-later
// A client of the reader handles for end-to-end runs under
// vessik-virtual-reader. WHERE is a location for vessik_reader_open, or
// "default" for vessik_read. Each mode prints "tag key=value" lines.
//
//   [OPTIONS] read WHERE...   one read on each WHERE at once, a thread each
//   [OPTIONS] series WHERE... the same reads one after another
//   cancel WHERE MS           a read cancelled from another thread MS after
//                             it started (the deadline still bounds it)
//   in-use HELD WHERE...      holds HELD open and runs "open WHERE..." in a
//                             second process
//   open WHERE...             opens each WHERE and closes it again
//
// OPTIONS: --deadline MS (default 10000) for each read; --control MS COMMAND
// sends COMMAND on the launcher's control socket MS after the reads start.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vessik_read.h"

namespace {

constexpr unsigned kDefaultDeadlineMs = 10000;
constexpr size_t kControlReplyBytes = 1024;
const char *const kDefault = "default";

double NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

const char *CodeName(int code)
{
    static const char *const kNames[] = {
        "OK",   "TIMEOUT",       "CANCELLED",    "NO_READER",     "READER_LOST", "BAD_ARGUMENT",
        "BUSY", "NOT_SUPPORTED", "BAD_LOCATION", "READER_IN_USE", "ACCESS",      "NO_MEMORY"};
    const int index = -code;
    return index >= 0 && index < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[index]
                                                                                    : "UNKNOWN";
}

// One read on WHERE: opened, read and closed for a handle; vessik_read for
// "default". `cancel_after_ms` >= 0 cancels it from another thread.
void ReadOn(const std::string &where, unsigned deadline_ms, double cancel_after_ms = -1)
{
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = deadline_ms;
    options.report_same_card = 1;
    vessik_card card;
    vessik_card_init(&card);
    const bool by_default = where == kDefault;
    vessik_reader *reader = nullptr;
    const double started = NowMs();
    int rc = by_default ? VESSIK_OK : vessik_reader_open(where.c_str(), &reader);
    if (rc != VESSIK_OK) {
        std::printf("read where=%s result=%s open=failed\n", where.c_str(), CodeName(rc));
        return;
    }
    double cancelled_at = 0;
    std::thread canceller;
    if (cancel_after_ms >= 0) {
        canceller = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(cancel_after_ms));
            cancelled_at = NowMs();
            if (by_default)
                vessik_cancel();
            else
                vessik_reader_cancel(reader);
        });
    }
    const double read_started = NowMs();
    rc = by_default ? vessik_read(&options, &card) : vessik_reader_read(reader, &options, &card);
    const double ended = NowMs();
    if (canceller.joinable())
        canceller.join();
    if (reader != nullptr)
        vessik_reader_close(reader);
    std::printf("read where=%s result=%s elapsed_ms=%.1f read_ms=%.1f", where.c_str(), CodeName(rc),
                ended - started, ended - read_started);
    if (cancel_after_ms >= 0)
        std::printf(" cancel_latency_ms=%.1f", ended - cancelled_at);
    if (rc == VESSIK_OK)
        std::printf(" id_number=%s reader=%s", card.id_number, card.reader);
    std::printf("\n");
    std::fflush(stdout);
}

void SendControl(double at_ms, const std::string &command, double started)
{
    const char *fd_text = getenv("VESSIK_READER_CONTROL");
    if (fd_text == nullptr) {
        std::printf("control reply=no-socket\n");
        return;
    }
    const double wait_ms = at_ms - (NowMs() - started);
    if (wait_ms > 0)
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(wait_ms));
    const int fd = std::atoi(fd_text);
    char reply[kControlReplyBytes] = {};
    ssize_t got = -1;
    if (send(fd, command.data(), command.size(), 0) == static_cast<ssize_t>(command.size()))
        got = recv(fd, reply, sizeof reply - 1, 0);
    std::printf("control command=%s reply=%s\n", command.c_str(), got > 0 ? reply : "none");
    std::fflush(stdout);
}

struct Options {
    unsigned deadline_ms = kDefaultDeadlineMs;
    double control_at_ms = -1;
    std::string control_command;
};

int ReadAll(const Options &o, const std::vector<std::string> &wheres, bool at_once)
{
    const double started = NowMs();
    std::thread control;
    if (o.control_at_ms >= 0)
        control = std::thread(SendControl, o.control_at_ms, o.control_command, started);
    if (at_once) {
        std::vector<std::thread> readers;
        for (const std::string &where : wheres)
            readers.emplace_back(ReadOn, where, o.deadline_ms, -1);
        for (std::thread &t : readers)
            t.join();
    } else {
        for (const std::string &where : wheres)
            ReadOn(where, o.deadline_ms);
    }
    if (control.joinable())
        control.join();
    std::printf("round elapsed_ms=%.1f\n", NowMs() - started);
    return 0;
}

int Open(const std::vector<std::string> &wheres)
{
    for (const std::string &where : wheres) {
        vessik_reader *reader = nullptr;
        const int rc = vessik_reader_open(where.c_str(), &reader);
        std::printf("open where=%s result=%s\n", where.c_str(), CodeName(rc));
        std::fflush(stdout);
        if (rc == VESSIK_OK)
            vessik_reader_close(reader);
    }
    return 0;
}

// Holds the first of `wheres` while a second process tries to open the rest.
int InUse(const std::vector<std::string> &wheres)
{
    vessik_reader *reader = nullptr;
    const int rc = vessik_reader_open(wheres[0].c_str(), &reader);
    std::printf("held where=%s result=%s\n", wheres[0].c_str(), CodeName(rc));
    std::fflush(stdout);
    if (rc != VESSIK_OK)
        return 1;
    std::vector<char *> args = {const_cast<char *>("handles_client"), const_cast<char *>("open")};
    for (size_t i = 1; i < wheres.size(); ++i)
        args.push_back(const_cast<char *>(wheres[i].c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execv("/proc/self/exe", args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    vessik_reader_close(reader);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: handles_client [--deadline MS] [--control MS COMMAND] "
                         "read|series WHERE... | cancel WHERE MS | in-use HELD WHERE... | "
                         "open WHERE...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string option = argv[i];
        if (option == "--deadline" && i + 1 < argc) {
            o.deadline_ms = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (option == "--control" && i + 2 < argc) {
            o.control_at_ms = std::atof(argv[++i]);
            o.control_command = argv[++i];
        } else {
            return Usage();
        }
    }
    if (i >= argc)
        return Usage();
    const std::string mode = argv[i++];
    const std::vector<std::string> rest(argv + i, argv + argc);
    if ((mode == "read" || mode == "series") && !rest.empty())
        return ReadAll(o, rest, mode == "read");
    if (mode == "cancel" && rest.size() == 2) {
        ReadOn(rest[0], o.deadline_ms, std::atof(rest[1].c_str()));
        return 0;
    }
    if (mode == "in-use" && rest.size() >= 2)
        return InUse(rest);
    if (mode == "open" && !rest.empty())
        return Open(rest);
    return Usage();
}
