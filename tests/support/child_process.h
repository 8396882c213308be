// A program run by a test: started with posix_spawn, its standard output and
// error captured apart, optional input, extra environment, a time limit.
// Killed when the object goes away before it ended.
#ifndef VESSIK_TESTS_SUPPORT_CHILD_PROCESS_H
#define VESSIK_TESTS_SUPPORT_CHILD_PROCESS_H

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace testsupport {

constexpr double kDefaultRunLimitS = 30;

inline double NowS()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A child with its standard output and error captured, and optional input.
class Process {
  public:
    ~Process()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_})
            if (fd >= 0)
                close(fd);
    }

    bool Start(const std::vector<std::string> &args, const std::vector<std::string> &env_extra = {},
               const std::string &input = "")
    {
        int out[2], err[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        // NAME=VALUE in env_extra replaces the inherited NAME (getenv takes
        // the first match, so appending alone would not).
        std::vector<char *> envp;
        for (char **e = environ; *e != nullptr; ++e)
            if (!Overridden(*e, env_extra))
                envp.push_back(*e);
        for (const std::string &e : env_extra)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        close(in[0]);
        out_ = out[0];
        err_ = err[0];
        if (rc == 0 && !input.empty() &&
            write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            return false;
        close(in[1]);
        started_ = NowS();
        return rc == 0;
    }

    // Reads output until the child's standard output holds `lines` lines,
    // the child is done, or `limit_s` after its start has passed.
    void Pump(double limit_s, size_t lines = SIZE_MAX)
    {
        while (NowS() - started_ < limit_s && (out_ >= 0 || err_ >= 0)) {
            if (Lines() >= lines)
                return;
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (poll(fds, 2, 50) < 0 && errno != EINTR)
                return;
            Drain(out_, out);
            Drain(err_, err);
        }
    }

    // Waits for the exit; the exit status, or -1 when it did not end in time.
    int Wait(double limit_s = kDefaultRunLimitS)
    {
        Pump(limit_s);
        int status = 0;
        while (NowS() - started_ < limit_s) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                ended_ = NowS();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }

    void Signal(int signal) { kill(pid_, signal); }
    double Elapsed() const { return NowS() - started_; }
    double Took() const { return ended_ - started_; }
    size_t Lines() const
    {
        size_t n = 0;
        for (const char c : out)
            n += c == '\n' ? 1 : 0;
        return n;
    }

    std::string out;
    std::string err;

  private:
    static bool Overridden(const char *inherited, const std::vector<std::string> &env_extra)
    {
        const char *eq = std::strchr(inherited, '=');
        const size_t name_len = eq != nullptr ? static_cast<size_t>(eq - inherited) : 0;
        for (const std::string &e : env_extra)
            if (name_len > 0 && e.size() > name_len &&
                e.compare(0, name_len, inherited, name_len) == 0 && e[name_len] == '=')
                return true;
        return false;
    }

    static void Drain(int &fd, std::string &into)
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

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    double started_ = 0;
    double ended_ = 0;
};

} // namespace testsupport

#endif
