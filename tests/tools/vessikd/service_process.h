// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd run as a separate program, under vessik-virtual-reader or on its
// own, with its output in files and its port read from what it prints.
#ifndef VESSIK_TESTS_SERVICE_PROCESS_H
#define VESSIK_TESTS_SERVICE_PROCESS_H

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "as_nobody.h"
#include "child_process.h"
#include "files.h"
#include "footprint.h"

namespace service_test {

constexpr double kStartLimitS = 15;
constexpr int kWaitStepUs = 10000;

using testsupport::NowS;

using testsupport::ReadFile;

// The option that lets the user running the tests receive cards on its
// event streams, as the user at the seat does (the tests have no seat).
inline std::string events_for_me()
{
    const passwd *me = getpwuid(geteuid());
    return std::string("--events-allow-users=") + (me != nullptr ? me->pw_name : "root");
}

struct RunOptions {
    std::vector<std::string> reader;  // vessik-virtual-reader options
    std::vector<std::string> service; // vessikd options (--config and --port are added)
    std::vector<std::string> env;     // extra NAME=VALUE
    bool under_reader = true;
    std::string program = VESSIKD_PROGRAM;
    std::vector<std::string> wrapper; // runs the program (setpriv ...), if any
    // A listening socket handed on as systemd does (descriptor 3,
    // LISTEN_FDS=1, LISTEN_PID the program's), or -1.
    int listen_fd = -1;
};

class ServiceProcess {
  public:
    ServiceProcess()
    {
        char dir[] = "/tmp/vessikd-test.XXXXXX";
        if (mkdtemp(dir) != nullptr)
            dir_ = dir;
    }
    ~ServiceProcess()
    {
        process_.reset(); // killed if still running
        unlink(out_path().c_str());
        unlink(err_path().c_str());
        rmdir(dir_.c_str());
    }
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts the program and waits for its port; false with `why` if it
    // never listened.
    bool start(const RunOptions &opts, std::string &why)
    {
        std::vector<std::string> args;
        if (opts.under_reader) {
            args.push_back(VESSIK_LAUNCHER);
            args.insert(args.end(), opts.reader.begin(), opts.reader.end());
            args.push_back("--");
        }
        args.insert(args.end(), opts.wrapper.begin(), opts.wrapper.end());
        if (opts.listen_fd >= 0) {
            // The shell's process id is the program's once it execs it.
            args.insert(args.end(),
                        {"/bin/sh", "-c", "export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" \"$@\""});
        }
        args.push_back(opts.program);
        program_ = opts.program;
        args.push_back("--config=/dev/null");
        args.push_back("--port=0");
        args.insert(args.end(), opts.service.begin(), opts.service.end());
        if (!spawn(args, opts.env, why, opts.listen_fd))
            return false;
        const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)");
        const double end = NowS() + kStartLimitS;
        while (NowS() < end) {
            std::smatch m;
            const std::string out = ReadFile(out_path());
            if (std::regex_search(out, m, listening)) {
                port_ = std::stoi(m[1]);
                return true;
            }
            if (exited(0)) {
                why = "vessikd ended before it listened: " + output();
                return false;
            }
            usleep(kWaitStepUs);
        }
        why = "vessikd did not listen in time: " + output();
        return false;
    }

    // Runs to the end (for a program expected to stop by itself).
    int run(const std::vector<std::string> &args, double limit_s, std::string &why)
    {
        if (!spawn(args, {}, why))
            return -1;
        return exited(limit_s) ? status() : -1;
    }

    // Starts any program and leaves it running; its output in output().
    bool launch(const std::vector<std::string> &args, std::string &why)
    {
        return spawn(args, {}, why);
    }

    // Waits until the output holds `what`; false when the time runs out.
    bool output_shows(const std::string &what, double limit_s) const
    {
        const double end = NowS() + limit_s;
        while (NowS() < end) {
            if (output().find(what) != std::string::npos)
                return true;
            usleep(kWaitStepUs);
        }
        return false;
    }

    int port() const { return port_; }

    httplib::Client client(time_t read_timeout_s = 30) const
    {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(read_timeout_s, 0);
        c.set_connection_timeout(5, 0);
        c.set_tcp_nodelay(true); // as browsers do; the figures are the service's own
        return c;
    }

    // vessikd's own process id: the process itself, or among the launcher's
    // descendants the one running vessikd (the launcher has helpers of its
    // own, so the first child need not be it); -1 if there is none.
    pid_t service_pid() const
    {
        return process_ ? find_program(process_->pid(), program_path(program_)) : -1;
    }

    void send(int sig) const
    {
        if (process_)
            process_->Signal(sig);
    }

    // True once the program has ended within `limit_s`; its exit code in status().
    bool exited(double limit_s) { return !process_ || process_->Exited(limit_s); }
    int status() const { return process_ ? process_->status() : -1; }

    std::string output() const { return ReadFile(out_path()) + ReadFile(err_path()); }

  private:
    static std::string program_path(const std::string &path)
    {
        char resolved[PATH_MAX];
        return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    }

    static pid_t find_program(pid_t pid, const std::string &program)
    {
        if (pid <= 0)
            return -1;
        const std::string proc = "/proc/" + std::to_string(pid);
        char exe[PATH_MAX];
        const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof(exe) - 1);
        if (n > 0 && std::string(exe, static_cast<size_t>(n)) == program)
            return pid;
        // Children of every thread: the launcher may spawn from any.
        DIR *tasks = opendir((proc + "/task").c_str());
        if (tasks == nullptr)
            return -1;
        pid_t found = -1;
        while (const dirent *task = readdir(tasks)) {
            if (task->d_name[0] == '.' || found > 0)
                continue;
            std::ifstream children(proc + "/task/" + task->d_name + "/children");
            for (pid_t child = 0; found < 0 && children >> child;)
                found = find_program(child, program);
        }
        closedir(tasks);
        return found;
    }

    std::string out_path() const { return dir_ + "/stdout"; }
    std::string err_path() const { return dir_ + "/stderr"; }

    // Output into files: the program runs for long and writes much, and the
    // tests read it only now and then.
    bool spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
               std::string &why, int listen_fd = -1)
    {
        testsupport::Spawn how;
        how.env_extra = env;
        how.out_file = out_path();
        how.err_file = err_path();
        how.pass_fd = listen_fd;
        process_ = std::make_unique<testsupport::Process>();
        if (process_->Start(args, how))
            return true;
        why = process_->why();
        return false;
    }

    std::string dir_;
    std::string program_ = VESSIKD_PROGRAM;
    std::unique_ptr<testsupport::Process> process_;
    int port_ = 0;
};

// A run under the launcher with these launcher options, vessikd options and
// environment.
inline RunOptions run_options(std::vector<std::string> reader, std::vector<std::string> service,
                              std::vector<std::string> env = {})
{
    RunOptions options;
    options.reader = std::move(reader);
    options.service = std::move(service);
    options.env = std::move(env);
    return options;
}

// Starts vessikd under the launcher; the failure says why it did not listen.
inline ::testing::AssertionResult start(ServiceProcess &service, std::vector<std::string> reader,
                                        std::vector<std::string> options = {},
                                        std::vector<std::string> env = {})
{
    std::string why;
    if (!service.start(run_options(std::move(reader), std::move(options), std::move(env)), why))
        return ::testing::AssertionFailure() << why;
    return ::testing::AssertionSuccess();
}

// An answer's body as JSON; null when no answer came.
inline nlohmann::json body_of(const httplib::Result &r)
{
    return r ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
}

// Moved to tests/support, where every suite that runs a program as nobody
// finds it.
using testsupport::AsNobody;

} // namespace service_test

#endif
