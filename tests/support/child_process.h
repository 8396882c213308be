// SPDX-License-Identifier: LGPL-2.1-or-later
// A program run by a test: started with posix_spawn, its standard output and
// error captured apart (in pipes, or in files for a long-running program),
// optional input, extra environment, a time limit. Stopped when the object
// goes away before it ended: SIGTERM first when it has a grace period (a
// launcher then removes its testbed), SIGKILL after that.
#ifndef VESSIK_TESTS_SUPPORT_CHILD_PROCESS_H
#define VESSIK_TESTS_SUPPORT_CHILD_PROCESS_H

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

constexpr double kDefaultRunLimitS = 30;
constexpr int kExitSignalBase = 128;

// Seconds, and whole microseconds, on the monotonic clock.
double NowS();
uint64_t NowUs();

// How a program is started; every field may stay as it is.
struct Spawn {
    // NAME=VALUE, each replacing the inherited NAME.
    std::vector<std::string> env_extra;
    // Inherited variables left out: those whose "NAME=" starts so.
    std::vector<std::string> env_drop;
    std::string input;
    // Output into these files instead of pipes: a program that runs for long
    // and writes much cannot fill a pipe nobody reads.
    std::string out_file;
    std::string err_file;
    // Handed on as descriptor 3, as systemd passes a listening socket.
    int pass_fd = -1;
    // Between SIGTERM and SIGKILL when the program must be stopped; 0: SIGKILL at once.
    double stop_grace_s = 0;
};

class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool Start(const std::vector<std::string> &args, const Spawn &how);
    bool Start(const std::vector<std::string> &args, const std::vector<std::string> &env_extra = {},
               const std::string &input = "");
    // Why the last Start failed.
    const std::string &why() const { return why_; }

    // Reads output until the child's standard output holds `lines` lines,
    // the child is done, or `limit_s` after its start has passed.
    void Pump(double limit_s, size_t lines = SIZE_MAX);
    // Reads output until standard output holds `text`; false if `limit_s`
    // from now passed first.
    bool WaitForOutput(const std::string &text, double limit_s);

    // Waits for the exit, `limit_s` after the start at the most: the exit
    // status (128+N for signal N), or -1 when it did not end in time.
    int Wait(double limit_s = kDefaultRunLimitS);
    // Waits `limit_s` from now; stops the program when it overruns (-1).
    int Finish(double limit_s = kDefaultRunLimitS);
    // True once the program has ended within `limit_s` from now; the exit
    // status in status().
    bool Exited(double limit_s);
    int status() const { return status_; }

    void Signal(int signal) const;
    pid_t pid() const { return pid_; }
    double Elapsed() const { return NowS() - started_; }
    // From the start to the end (or to the stop).
    double Took() const { return ended_ - started_; }
    size_t Lines() const;

    std::string out;
    std::string err;

  private:
    bool Reap(int *status);
    void Stop();
    void ClosePipes();

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    double stop_grace_s_ = 0;
    double started_ = 0;
    double ended_ = 0;
    int status_ = -1;
    std::string why_;
};

} // namespace testsupport

#endif
