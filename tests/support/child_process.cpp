// SPDX-License-Identifier: LGPL-2.1-or-later
#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

namespace {

constexpr int kPumpSliceMs = 50;
constexpr useconds_t kReapPollUs = 10000;
constexpr int kPassedFd = 3; // SD_LISTEN_FDS_START
constexpr mode_t kOutputFileMode = 0600;

bool NamedIn(const char *inherited, const std::vector<std::string> &assignments)
{
    const char *eq = std::strchr(inherited, '=');
    const size_t name_len = eq != nullptr ? static_cast<size_t>(eq - inherited) : 0;
    for (const std::string &e : assignments)
        if (name_len > 0 && e.size() > name_len &&
            e.compare(0, name_len, inherited, name_len) == 0 && e[name_len] == '=')
            return true;
    return false;
}

bool Dropped(const char *inherited, const std::vector<std::string> &prefixes)
{
    for (const std::string &p : prefixes)
        if (std::strncmp(inherited, p.c_str(), p.size()) == 0)
            return true;
    return false;
}

// Reads what is there without waiting; closes `fd` at its end.
void Drain(int &fd, std::string &into)
{
    if (fd < 0)
        return;
    char buf[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            close(fd);
            fd = -1;
            return;
        }
        into.append(buf, static_cast<size_t>(n));
    }
}

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : kExitSignalBase + WTERMSIG(status);
}

} // namespace

double NowS()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint64_t NowUs()
{
    constexpr uint64_t kUsPerS = 1000000;
    constexpr uint64_t kNsPerUs = 1000;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * kUsPerS +
           static_cast<uint64_t>(ts.tv_nsec) / kNsPerUs;
}

Process::~Process()
{
    if (pid_ > 0)
        Stop();
    ClosePipes();
}

bool Process::Start(const std::vector<std::string> &args, const std::vector<std::string> &env_extra,
                    const std::string &input)
{
    Spawn how;
    how.env_extra = env_extra;
    how.input = input;
    return Start(args, how);
}

bool Process::Start(const std::vector<std::string> &args, const Spawn &how)
{
    stop_grace_s_ = how.stop_grace_s;
    const bool to_files = !how.out_file.empty();
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int in[2] = {-1, -1};
    if ((!to_files && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) ||
        pipe2(in, O_CLOEXEC) != 0) {
        why_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (how.pass_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, how.pass_fd, kPassedFd);
    if (to_files) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, how.out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, kOutputFileMode);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, how.err_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, kOutputFileMode);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    // NAME=VALUE in env_extra replaces the inherited NAME (getenv takes
    // the first match, so appending alone would not).
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; ++e)
        if (!NamedIn(*e, how.env_extra) && !Dropped(*e, how.env_drop))
            envp.push_back(*e);
    for (const std::string &e : how.env_extra)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    started_ = NowS();
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (!to_files) {
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    close(in[0]);
    bool ok = rc == 0;
    if (!ok) {
        pid_ = -1;
        why_ = std::string("cannot run ") + argv[0] + ": " + std::strerror(rc);
    } else if (!how.input.empty() && write(in[1], how.input.data(), how.input.size()) !=
                                         static_cast<ssize_t>(how.input.size())) {
        why_ = "could not write the input";
        ok = false;
    }
    close(in[1]);
    return ok;
}

void Process::Pump(double limit_s, size_t lines)
{
    while (NowS() - started_ < limit_s && (out_ >= 0 || err_ >= 0)) {
        if (Lines() >= lines)
            return;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, kPumpSliceMs) < 0 && errno != EINTR)
            return;
        Drain(out_, out);
        Drain(err_, err);
    }
}

bool Process::WaitForOutput(const std::string &text, double limit_s)
{
    const double end = NowS() + limit_s;
    while (out.find(text) == std::string::npos) {
        if (NowS() >= end || (out_ < 0 && err_ < 0))
            return false;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, kPumpSliceMs) < 0 && errno != EINTR)
            return false;
        Drain(out_, out);
        Drain(err_, err);
    }
    return true;
}

bool Process::Reap(int *status)
{
    if (pid_ <= 0 || waitpid(pid_, status, WNOHANG) != pid_)
        return false;
    pid_ = -1;
    ended_ = NowS();
    return true;
}

int Process::Wait(double limit_s)
{
    Pump(limit_s);
    int status = 0;
    while (NowS() - started_ < limit_s) {
        if (Reap(&status)) {
            status_ = ExitCode(status);
            return status_;
        }
        usleep(kReapPollUs);
    }
    return -1;
}

int Process::Finish(double limit_s)
{
    const int code = Wait(Elapsed() + limit_s);
    if (code < 0 && pid_ > 0) {
        Stop();
        ended_ = NowS();
    }
    ClosePipes();
    return code;
}

bool Process::Exited(double limit_s)
{
    if (pid_ <= 0)
        return true;
    const double end = NowS() + limit_s;
    for (;;) {
        int status = 0;
        if (Reap(&status)) {
            status_ = ExitCode(status);
            return true;
        }
        if (NowS() >= end)
            return false;
        usleep(kReapPollUs);
    }
}

void Process::Signal(int signal) const
{
    if (pid_ > 0)
        kill(pid_, signal);
}

size_t Process::Lines() const
{
    size_t n = 0;
    for (const char c : out)
        n += c == '\n' ? 1 : 0;
    return n;
}

void Process::Stop()
{
    if (stop_grace_s_ > 0) {
        kill(pid_, SIGTERM);
        const double end = NowS() + stop_grace_s_;
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (NowS() >= end)
                break;
            usleep(kReapPollUs);
        }
        if (NowS() < end) {
            pid_ = -1;
            return;
        }
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void Process::ClosePipes()
{
    for (int *fd : {&out_, &err_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

} // namespace testsupport
