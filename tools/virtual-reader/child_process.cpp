// SPDX-License-Identifier: LGPL-2.1-or-later
// Starting the program and the folder watchdog; raw system calls after fork.
#include "child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
constexpr const char *kRemover = "/bin/rm";
constexpr int kStdioFds = 3;
constexpr int kExitNoParent = 125; // the launcher died before the program started

long raw_close(int fd)
{
    return syscall(SYS_close, fd);
}

} // namespace

bool find_program(const char *name, std::string &path, int &err)
{
    if (std::strchr(name, '/') != nullptr) {
        path = name;
        return true;
    }
    const char *env = getenv("PATH");
    const std::string dirs = env != nullptr && env[0] != '\0' ? env : kDefaultPath;
    err = ENOENT;
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            return true;
        }
        if (errno == EACCES)
            err = EACCES;
        start = end + 1;
    }
    return false;
}

pid_t start_program(const std::string &path, char *const argv[], char *const envp[], int &err)
{
    int report[2]; // the child's exec error, if any; closed by a successful exec
    if (pipe2(report, O_CLOEXEC) != 0) {
        err = errno;
        return -1;
    }
    const pid_t launcher = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        err = errno;
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (pid == 0) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &dfl, nullptr); // the launcher ignores it, the program must not
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != launcher)
            _exit(kExitNoParent);
        execve(path.c_str(), argv, envp);
        const int e = errno;
        syscall(SYS_write, report[1], &e, sizeof e);
        _exit(EXIT_FAILURE);
    }
    close(report[1]);
    int e = 0;
    ssize_t got = 0;
    do {
        got = read(report[0], &e, sizeof e);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof e)) {
        waitpid(pid, nullptr, 0);
        err = e;
        return -1;
    }
    return pid;
}

bool start_folder_watchdog(const std::string &dir)
{
    int life[2]; // the launcher holds the write end until it dies
    if (pipe2(life, O_CLOEXEC) != 0)
        return false;
    // Everything the child needs is built before fork.
    const char *const argv[] = {kRemover, "-rf", "--", dir.c_str(), nullptr};
    const char *const envp[] = {nullptr};
    const pid_t pid = fork();
    if (pid < 0) {
        close(life[0]);
        close(life[1]);
        return false;
    }
    if (pid == 0) {
        raw_close(life[1]);
        for (int fd = 0; fd < kStdioFds; ++fd)
            raw_close(fd); // holds no one's output open
        setsid();          // outlives a kill of the launcher's process group
        char byte = 0;
        long got = 0;
        do { // end-of-file: the launcher has gone
            got = syscall(SYS_read, life[0], &byte, 1);
        } while (got > 0 || (got < 0 && errno == EINTR));
        execve(kRemover, const_cast<char *const *>(argv), const_cast<char *const *>(envp));
        _exit(EXIT_FAILURE);
    }
    close(life[0]);
    return true; // life[1] stays open, unseen by the program (close-on-exec)
}
