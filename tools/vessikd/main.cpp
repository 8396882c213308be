// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd: owns the identity-card reader and serves it to web pages on this
// computer over HTTP on the loopback interface.
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <vector>

#include "config.h"
#include "photo_decoder_probe.h"
#include "service.h"

#ifndef VESSIK_VERSION
#define VESSIK_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCannotStart = 1;
constexpr int kExitBadSettings = 2;

int fail(int status, const std::string &message)
{
    std::fprintf(stderr, "vessikd: %s\n", message.c_str());
    if (status == kExitBadSettings)
        std::fputs("Try 'vessikd --help'.\n", stderr);
    return status;
}

// Which decoder turns card photos into images, for the admin reading the log.
void print_decoder(const vessik_tools::PhotoDecoderProbe &decoder)
{
    if (decoder.file == nullptr)
        std::puts("vessikd: photo decoder: none loaded, card photos are served undecoded");
    else if (decoder.standin)
        std::printf("vessikd: photo decoder: %s is the kit's stand-in, card photos are served "
                    "undecoded\n",
                    decoder.file);
    else
        std::printf("vessikd: photo decoder: %s\n", decoder.file);
}

} // namespace

int main(int argc, char **argv)
{
    // No core file, and no same-user ptrace or /proc/PID/mem: this process
    // holds cards (the unit also sets LimitCORE=0).
    prctl(PR_SET_DUMPABLE, 0);
    std::string config_path;
    bool config_path_given = false;
    vessikd::Settings overrides;
    std::string error;
    switch (
        vessikd::parse_command_line(argc, argv, config_path, config_path_given, overrides, error)) {
    case vessikd::CommandLine::Help:
        std::fputs(vessikd::usage_text(), stdout);
        return kExitOk;
    case vessikd::CommandLine::Version:
        std::puts("vessikd " VESSIK_VERSION);
        return kExitOk;
    case vessikd::CommandLine::Error:
        return fail(kExitBadSettings, error);
    case vessikd::CommandLine::Run:
        break;
    }
    vessikd::Settings file;
    vessikd::Config config;
    if (!vessikd::load_config_file(config_path, config_path_given, file, error) ||
        !vessikd::build_config(file, overrides, config, error))
        return fail(kExitBadSettings, error);

    // Blocked before any thread starts, so every thread inherits the mask:
    // the signals are taken by sigwait below, and a write to a closed
    // connection fails instead of killing the process.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigset_t blocked = signals;
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    // Before any thread: the service starts and serves cards without one.
    const vessik_tools::PhotoDecoderProbe &decoder = vessik_tools::load_photo_decoder();

    vessikd::Service service(config);
    std::vector<std::string> urls;
    if (!service.start(urls, error))
        return fail(kExitCannotStart, error);
    for (const std::string &url : urls)
        std::printf("vessikd: listening on %s\n", url.c_str());
    std::printf("vessikd: readers plugged in and out are seen %s\n",
                service.reader_hotplug() ? "at once (hotplug)" : "within a second");
    print_decoder(decoder);
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&signals, &signal_number);
    std::printf("vessikd: stopping (signal %d)\n", signal_number);
    std::fflush(stdout);
    service.stop();
    return kExitOk;
}
