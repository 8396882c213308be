// SPDX-License-Identifier: LGPL-2.1-or-later
#include "footprint.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace testsupport {

namespace {

std::string ProcDir(pid_t pid)
{
    return pid == kThisProcess ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
}

bool IsUsbNode(const std::string &fd_link)
{
    char target[PATH_MAX] = {};
    return readlink(fd_link.c_str(), target, sizeof target - 1) > 0 &&
           std::strstr(target, "/bus/usb/") != nullptr;
}

// Entries of `dir` other than . and ..; -1 if it cannot be read. With
// `usb_nodes`, also the links among them that point at a USB device node.
int EntriesIn(const std::string &dir, int *usb_nodes = nullptr)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ++n;
        if (usb_nodes != nullptr && IsUsbNode(dir + "/" + e->d_name))
            ++*usb_nodes;
    }
    closedir(d);
    return n;
}

long ResidentKb(const std::string &proc)
{
    long pages = 0;
    long resident = 0;
    FILE *f = std::fopen((proc + "/statm").c_str(), "r");
    if (f == nullptr)
        return -1;
    const int got = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

} // namespace

Footprint FootprintOf(pid_t pid)
{
    const std::string proc = ProcDir(pid);
    Footprint f;
    f.fds = EntriesIn(proc + "/fd", &f.usb_nodes);
    if (pid == kThisProcess && f.fds > 0)
        --f.fds; // the one that lists them
    f.threads = EntriesIn(proc + "/task");
    f.rss_kb = ResidentKb(proc);
    return f;
}

int OpenDescriptors()
{
    const int n = EntriesIn("/proc/self/fd");
    return n > 0 ? n - 1 : n;
}

} // namespace testsupport
