// vessikd run as a separate program, under vessik-virtual-reader or on its
// own, with its output in files and its port read from what it prints.
#ifndef VESSIK_TESTS_SERVICE_PROCESS_H
#define VESSIK_TESTS_SERVICE_PROCESS_H

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <httplib.h>

extern char **environ;

namespace service_test {

constexpr double kStartLimitS = 15;
constexpr int kWaitStepUs = 10000;

inline double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
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
        const double end = now_s() + kStartLimitS;
        while (now_s() < end) {
            std::smatch m;
            const std::string out = read_file(out_path());
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
        return exited(limit_s) ? status_ : -1;
    }

    // Starts any program and leaves it running; its output in output().
    bool launch(const std::vector<std::string> &args, std::string &why)
    {
        return spawn(args, {}, why);
    }

    // Waits until the output holds `what`; false when the time runs out.
    bool output_shows(const std::string &what, double limit_s) const
    {
        const double end = now_s() + limit_s;
        while (now_s() < end) {
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
    pid_t service_pid() const { return find_program(pid_, program_path(program_)); }

    void send(int sig) const { kill(pid_, sig); }

    // True once the program has ended within `limit_s`; its exit code in status().
    bool exited(double limit_s)
    {
        if (pid_ <= 0)
            return true;
        const double end = now_s() + limit_s;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid_ = -1;
                return true;
            }
            if (now_s() >= end)
                return false;
            usleep(kWaitStepUs);
        }
    }
    int status() const { return status_; }

    std::string output() const { return read_file(out_path()) + read_file(err_path()); }

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

    bool spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
               std::string &why, int listen_fd = -1)
    {
        constexpr int kFirstPassedFd = 3; // SD_LISTEN_FDS_START
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (listen_fd >= 0)
            posix_spawn_file_actions_adddup2(&actions, listen_fd, kFirstPassedFd);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> env_text;
        for (char **e = environ; *e != nullptr; ++e)
            env_text.push_back(*e);
        env_text.insert(env_text.end(), env.begin(), env.end());
        std::vector<char *> envp;
        for (std::string &e : env_text)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            why = std::string("cannot run ") + argv[0] + ": " + std::strerror(rc);
            return false;
        }
        return true;
    }

    std::string dir_;
    std::string program_ = VESSIKD_PROGRAM;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

// Runs programs as the user nobody, as CI (root) can: copies of them lie in
// a folder of their own that nobody may enter, wherever the build tree is.
class AsNobody {
  public:
    AsNobody()
    {
        char dir[] = "/tmp/vessikd-nobody.XXXXXX";
        if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0 && mkdtemp(dir) != nullptr &&
            chmod(dir, 0755) == 0)
            dir_ = dir;
    }
    ~AsNobody()
    {
        for (const std::string &file : placed_)
            unlink(file.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }
    AsNobody(const AsNobody &) = delete;
    AsNobody &operator=(const AsNobody &) = delete;

    // False where the tests cannot be someone else (not root, no setpriv).
    bool available() const { return !dir_.empty(); }
    const std::string &dir() const { return dir_; }

    // A copy of `file` in the folder, under its own name.
    std::string place(const std::string &file)
    {
        const std::string copy = dir_ + "/" + file.substr(file.find_last_of('/') + 1);
        std::ifstream in(file, std::ios::binary);
        std::ofstream(copy, std::ios::binary) << in.rdbuf();
        chmod(copy.c_str(), 0755);
        placed_.push_back(copy);
        return copy;
    }

    // What runs a command as nobody.
    static std::vector<std::string> wrapper()
    {
        return {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
    }

  private:
    std::string dir_;
    std::vector<std::string> placed_;
};

// Resident memory (kB) and open descriptors of a process.
struct Footprint {
    long rss_kb = -1;
    int fds = -1;
};

inline Footprint footprint(pid_t pid)
{
    Footprint f;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            f.rss_kb = std::strtol(line.c_str() + 6, nullptr, 10);
    }
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir != nullptr) {
        f.fds = 0;
        while (const dirent *e = readdir(dir)) {
            if (e->d_name[0] != '.')
                ++f.fds;
        }
        closedir(dir);
    }
    return f;
}

} // namespace service_test

#endif
