// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-virtual-reader: runs an unmodified program against a virtual card
// reader. The program's own libusb-1.0 finds the reader in a umockdev
// testbed (LD_PRELOAD=libumockdev-preload.so.0) and every usbfs ioctl it
// makes is answered by the reader model of sim/.
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "capture_profile.h"
#include "card.h"
#include "child_process.h"
#include "launcher_options.h"
#include "monotonic_clock.h"
#include "reader_port.h"
#include "virtual_reader.h"

extern char **environ;

namespace {

constexpr const char *kSelf = "vessik-virtual-reader";
constexpr const char *kPreload = "libumockdev-preload.so.0";
constexpr const char *kPreloadTag = "libumockdev-preload"; // in LD_PRELOAD, any spelling
constexpr const char *kReexecMarker = "VESSIK_VIRTUAL_READER_REEXEC";
constexpr const char *kAsanLinkOrder = "verify_asan_link_order=0";
constexpr const char *kControlVariable = "VESSIK_READER_CONTROL";
constexpr const char *kSerialPathVariable = "VESSIK_VIRTUAL_SERIAL";
constexpr const char *kSerialReadersVariable = "VESSIK_SERIAL_READERS";
constexpr const char *kSerialFolderTemplate = "/tmp/vessik-serial.XXXXXX";
constexpr const char *kSerialLinkName = "/ttyVSIM0";
constexpr const char *kSerialAddress = "serial"; // serial:COMMAND on the control socket
constexpr mode_t kSerialFolderMode = 0755;
constexpr size_t kControlMessageBytes = 1024; // far more than any command needs

constexpr int kExitStopped = 124; // as timeout(1) does
constexpr int kExitLauncherError = 125;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;
constexpr int kExitSignalBase = 128;
constexpr uint64_t kKillGraceUs = 3000000; // after SIGTERM (ours or forwarded), then SIGKILL
constexpr unsigned long kTimerSlackNs = 1; // short sleeps in the program stay short
constexpr int kNsPerUs = 1000;
constexpr double kUsPerSecond = 1e6;

const int kForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Whether umockdev's preload is loaded into this process (not merely named
// in the environment).
bool preload_loaded()
{
    void *handle = dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    dlclose(handle);
    return true;
}

// The preload goes after an AddressSanitizer runtime, which insists on being
// first, and before anything else.
std::string preload_list()
{
    const char *existing = getenv("LD_PRELOAD");
    if (existing == nullptr || existing[0] == '\0')
        return kPreload;
    if (std::strstr(existing, kPreloadTag) != nullptr)
        return existing;
    if (std::strstr(existing, "libasan") != nullptr)
        return std::string(existing) + ":" + kPreload;
    return std::string(kPreload) + ":" + existing;
}

// Sanitized programs refuse to start when the preload comes before their
// runtime; the check is safe to skip here.
void relax_asan_link_order()
{
    const char *asan = getenv("ASAN_OPTIONS");
    if (asan == nullptr || asan[0] == '\0')
        setenv("ASAN_OPTIONS", kAsanLinkOrder, 1);
    else if (std::strstr(asan, "verify_asan_link_order") == nullptr)
        setenv("ASAN_OPTIONS", (std::string(asan) + ":" + kAsanLinkOrder).c_str(), 1);
}

void fail(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", kSelf, message.c_str());
}

bool load_card(const ReaderOptions &opts, vsim::CardFields &card, std::string &error)
{
    if (opts.card_file.empty()) {
        card = vsim::sample_card();
    } else {
        std::ifstream in(opts.card_file, std::ios::binary);
        if (!in) {
            error = opts.card_file + ": " + std::strerror(errno);
            return false;
        }
        std::ostringstream text;
        text << in.rdbuf();
        std::string why;
        if (!vsim::parse_card_file(text.str(), card, why)) {
            error = opts.card_file + ": " + why;
            return false;
        }
    }
    for (const auto &field : opts.raw_fields) {
        if (!apply_raw_field(field.first, field.second, card, error))
            return false;
    }
    return true;
}

// One timed action of the launcher, on one port (Stop and Kill: on none).
struct Event {
    uint64_t at_us;
    enum Kind { LayCard, LiftCard, Unplug, Replug, Stop, Kill } kind;
    ReaderPort *port;
};

class Launcher {
  public:
    // `cards`: one per reader; `control_fd`: our end of the --control
    // socket (-1 without it); `program_control_fd`: the program's end,
    // closed here once it runs.
    // `serial_card` and `serial_link`: the serial module's (with --serial).
    Launcher(const LauncherOptions &opts, const std::vector<vsim::CardFields> &cards,
             const vsim::CardFields &serial_card, const std::string &serial_link,
             std::shared_ptr<vsim::AnswerProfile> profile, bool preloaded, int control_fd,
             int program_control_fd)
        : opts_(opts), control_fd_(control_fd), program_control_fd_(program_control_fd)
    {
        setup_.log = opts.log;
        setup_.profile = std::move(profile);
        setup_.several_readers = opts.readers.size() > 1;
        for (size_t i = 0; i < opts.readers.size(); ++i)
            ports_.push_back(make_usb_port(opts.readers[i], cards[i], clock_,
                                           static_cast<int>(i) + 1, testbed_, preloaded, setup_));
        readers_ = ports_.size();
        if (opts.serial) {
            ports_.push_back(make_serial_port(opts.serial_reader, serial_card, clock_, serial_link,
                                              opts.serial_rate, setup_));
            serial_ = ports_.back().get();
        }
    }

    int run();

  private:
    bool set_up(std::string &error);
    bool set_up_port(ReaderPort &port, std::string &error);
    bool spawn(std::string &error, int *exit_code);
    void loop();
    uint64_t service_ports();
    void run_due_events(uint64_t now);
    void run_event(const Event &e, uint64_t now);
    void on_signals();
    void on_control();
    std::string control_command(const std::string &text);
    std::string port_command(ReaderPort &port, const std::string &verb,
                             const std::vector<std::string> &args);
    void schedule(uint64_t at, Event::Kind kind, ReaderPort *port = nullptr)
    {
        events_.push_back({at, kind, port});
    }
    void note(const char *what, const ReaderPort *port = nullptr) const;
    void print_stats();
    void close_testbed();
    int exit_code() const;

    const LauncherOptions &opts_;
    ModelSetup setup_;
    MonotonicClock clock_;
    Testbed testbed_;
    std::vector<std::unique_ptr<ReaderPort>> ports_; // the USB readers, then the serial module
    size_t readers_ = 0;                             // how many USB readers
    ReaderPort *serial_ = nullptr;                   // with --serial
    std::vector<Event> events_;
    int signal_fd_ = -1;
    pid_t child_ = -1;
    bool child_done_ = false;
    int child_status_ = 0;
    rusage child_usage_{};
    bool stopped_ = false;
    bool kill_scheduled_ = false;
    int control_fd_ = -1;
    int program_control_fd_ = -1;
};

// The port's model and place made ready, its card laid on or its timed
// changes scheduled.
bool Launcher::set_up_port(ReaderPort &port, std::string &error)
{
    if (!port.set_up(error))
        return false;
    const ReaderOptions &r = port.options();
    if (r.card_after_us != kUnset)
        schedule(r.card_after_us, Event::LayCard, &port);
    else if (!r.no_card)
        port.lay_card();
    if (r.remove_after_us != kUnset)
        schedule(r.remove_after_us, Event::LiftCard, &port);
    if (r.unplug_after_us != kUnset)
        schedule(r.unplug_after_us, Event::Unplug, &port);
    if (r.replug_after_us != kUnset)
        schedule(r.replug_after_us, Event::Replug, &port);
    port.announce();
    return true;
}

bool Launcher::set_up(std::string &error)
{
    if (!testbed_.open(error))
        return false;
    for (const std::unique_ptr<ReaderPort> &port : ports_) {
        if (!set_up_port(*port, error)) {
            if (port.get() == serial_)
                error = "serial module: " + error;
            else if (readers_ > 1)
                error = "reader " + std::to_string(port->number()) + ": " + error;
            return false;
        }
    }
    if (opts_.stop_after_us != kUnset)
        schedule(opts_.stop_after_us, Event::Stop);
    return true;
}

bool Launcher::spawn(std::string &error, int *exit_code)
{
    std::string path;
    int err = 0;
    if (find_program(opts_.program[0], path, err)) {
        child_ = start_program(path, opts_.program.data(), environ, err);
        if (child_ > 0)
            return true;
    }
    error = std::string("cannot run ") + opts_.program[0] + ": " + std::strerror(err);
    *exit_code = err == ENOENT ? kExitNotFound : kExitCannotRun;
    return false;
}

// A USB reader's notes say whose they are when there are several.
void Launcher::note(const char *what, const ReaderPort *port) const
{
    if (!opts_.log)
        return;
    const unsigned long long now = clock_.now_us();
    if (port != nullptr && port->number() > 0 && readers_ > 1)
        std::fprintf(stderr, "t=%llu reader %d: %s\n", now, port->number(), what);
    else
        std::fprintf(stderr, "t=%llu %s\n", now, what);
}

void Launcher::run_event(const Event &e, uint64_t now)
{
    std::string error;
    switch (e.kind) {
    case Event::LayCard:
        e.port->lay_card();
        note(e.port->notes().laid, e.port);
        break;
    case Event::LiftCard:
        e.port->lift_card();
        note(e.port->notes().lifted, e.port);
        break;
    case Event::Unplug:
        e.port->unplug();
        note(e.port->notes().gone, e.port);
        break;
    case Event::Replug:
        if (!e.port->plug(error))
            fail(error);
        note(e.port->notes().back, e.port);
        break;
    case Event::Stop:
        if (!child_done_) {
            stopped_ = true;
            kill(child_, SIGTERM);
            note("program stopped");
            if (!kill_scheduled_)
                schedule(now + kKillGraceUs, Event::Kill);
            kill_scheduled_ = true;
        }
        break;
    case Event::Kill:
        if (!child_done_)
            kill(child_, SIGKILL);
        break;
    }
}

void Launcher::run_due_events(uint64_t now)
{
    std::vector<Event> due;
    for (auto it = events_.begin(); it != events_.end();) {
        if (it->at_us <= now) {
            due.push_back(*it);
            it = events_.erase(it);
        } else {
            ++it;
        }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Event &a, const Event &b) { return a.at_us < b.at_us; });
    for (const Event &e : due)
        run_event(e, now);
}

void Launcher::on_signals()
{
    signalfd_siginfo info{};
    while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGCHLD)
            continue; // reaped below
        if (!child_done_) {
            kill(child_, static_cast<int>(info.ssi_signo));
            if (!kill_scheduled_)
                schedule(clock_.now_us() + kKillGraceUs, Event::Kill);
            kill_scheduled_ = true;
        }
    }
    int status = 0;
    if (!child_done_ && wait4(child_, &status, WNOHANG, &child_usage_) == child_) {
        child_done_ = true;
        child_status_ = status;
    }
}

// One command on one port; "ok" or "error: WHY".
std::string Launcher::port_command(ReaderPort &port, const std::string &verb,
                                   const std::vector<std::string> &args)
{
    const ReaderPort::Notes &notes = port.notes();
    std::string error;
    if (verb == "card") {
        port.lay_card();
        note(notes.laid, &port);
    } else if (verb == "lift") {
        port.lift_card();
        note(notes.lifted, &port);
    } else if (verb == "unplug") {
        port.unplug();
        note(notes.gone, &port);
    } else if (verb == "plug") {
        if (!port.present() && !port.plug(error))
            return "error: " + error;
        note(notes.back, &port);
    } else if (verb == "counters") {
        return "ok " + counters_text(port.counters());
    } else if (verb == "reader") {
        if (!port.replace_model(args, error))
            return "error: " + error;
        note(notes.fresh, &port);
    } else {
        return "error: unknown command " + verb;
    }
    return "ok";
}

// One command from the program; the answer goes back as one message.
// "K:COMMAND" is for reader K, "serial:COMMAND" for the serial module; a
// bare command is for every reader and the serial module, but counters
// answers for reader 1.
std::string Launcher::control_command(const std::string &text)
{
    std::istringstream words(text);
    std::string verb;
    words >> verb;
    std::vector<std::string> args;
    for (std::string w; words >> w;)
        args.push_back(w);

    const std::string serial_prefix = std::string(kSerialAddress) + ":";
    if (verb.compare(0, serial_prefix.size(), serial_prefix) == 0) {
        if (serial_ == nullptr)
            return "error: there is no serial module (--serial)";
        const std::string serial_verb = verb.substr(serial_prefix.size());
        if (serial_verb != "reader" && !args.empty())
            return "error: " + serial_verb + " takes no arguments";
        return port_command(*serial_, serial_verb, args);
    }
    int reader = 0;
    std::string bare_verb;
    if (split_reader_address(verb, &reader, &bare_verb)) {
        if (reader < 1 || static_cast<size_t>(reader) > readers_)
            return "error: there is no reader " + std::to_string(reader);
        verb = bare_verb;
    }
    if (verb != "reader" && !args.empty())
        return "error: " + verb + " takes no arguments";
    if (reader == 0 && verb == "counters")
        reader = 1;

    service_ports(); // a reader that dropped off by itself leaves the bus first
    for (size_t i = 0; i < readers_; ++i) {
        ReaderPort &port = *ports_[i];
        if (reader != 0 && port.number() != reader)
            continue;
        const std::string reply = port_command(port, verb, args);
        if (reply.compare(0, 2, "ok") != 0 || reader != 0)
            return reply;
    }
    if (serial_ != nullptr)
        return port_command(*serial_, verb, args);
    return "ok";
}

void Launcher::on_control()
{
    char buf[kControlMessageBytes];
    const ssize_t n = recv(control_fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) { // the program (and every child of it) closed its end
        close(control_fd_);
        control_fd_ = -1;
        return;
    }
    const std::string reply = control_command(std::string(buf, static_cast<size_t>(n)));
    if (send(control_fd_, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
        fail(std::string("control answer: ") + std::strerror(errno));
}

// Services every port; the soonest time one of them must run again.
uint64_t Launcher::service_ports()
{
    uint64_t next = ReaderPort::kNever;
    for (const std::unique_ptr<ReaderPort> &port : ports_)
        next = std::min(next, port->service());
    return next;
}

void Launcher::loop()
{
    // Signals, the control socket, then each port's wake-up descriptor.
    constexpr size_t kFirstPort = 2;
    std::vector<pollfd> fds(kFirstPort + ports_.size());
    while (!child_done_) {
        const uint64_t now = clock_.now_us();
        run_due_events(now);
        uint64_t next = service_ports();
        for (const Event &e : events_)
            next = std::min(next, e.at_us);

        timespec wait{};
        timespec *timeout = nullptr;
        if (next != ReaderPort::kNever) {
            const uint64_t after = clock_.now_us();
            const uint64_t us = next > after ? next - after : 0;
            wait.tv_sec = static_cast<time_t>(us / MonotonicClock::kUsPerS);
            wait.tv_nsec = static_cast<long>(us % MonotonicClock::kUsPerS) * kNsPerUs;
            timeout = &wait;
        }
        fds[0] = {signal_fd_, POLLIN, 0};
        fds[1] = {control_fd_, POLLIN, 0}; // poll skips -1
        for (size_t i = 0; i < ports_.size(); ++i)
            fds[kFirstPort + i] = {ports_[i]->notify_fd(), POLLIN, 0};
        if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR) {
            fail(std::string("ppoll: ") + std::strerror(errno));
            kill(child_, SIGKILL);
        }
        on_signals();
        if (control_fd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            on_control();
    }
}

int Launcher::exit_code() const
{
    if (stopped_)
        return kExitStopped;
    if (WIFEXITED(child_status_))
        return WEXITSTATUS(child_status_);
    if (WIFSIGNALED(child_status_))
        return kExitSignalBase + WTERMSIG(child_status_);
    return kExitLauncherError;
}

double seconds(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / kUsPerSecond;
}

void Launcher::print_stats()
{
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::fprintf(stderr,
                 "%s: stats: wall_s=%.3f program_user_s=%.3f program_sys_s=%.3f "
                 "program_peak_rss_kb=%ld launcher_cpu_s=%.3f launcher_peak_rss_kb=%ld\n",
                 kSelf, static_cast<double>(clock_.now_us()) / kUsPerSecond,
                 seconds(child_usage_.ru_utime), seconds(child_usage_.ru_stime),
                 child_usage_.ru_maxrss, seconds(self.ru_utime) + seconds(self.ru_stime),
                 self.ru_maxrss);
    // One line of counters per port; with several readers, each says whose.
    for (const std::unique_ptr<ReaderPort> &port : ports_) {
        const std::string counters = counters_text(port->counters());
        if (port.get() == serial_)
            std::fprintf(stderr, "%s: stats: serial %s\n", kSelf, counters.c_str());
        else if (readers_ > 1)
            std::fprintf(stderr, "%s: stats: reader=%d %s\n", kSelf, port->number(),
                         counters.c_str());
        else
            std::fprintf(stderr, "%s: stats: %s\n", kSelf, counters.c_str());
    }
}

void Launcher::close_testbed()
{
    if (serial_ != nullptr)
        serial_->close();
    for (size_t i = 0; i < readers_; ++i)
        ports_[i]->close();
    testbed_.close();
}

int Launcher::run()
{
    // Signals arrive through a descriptor; blocked before the testbed starts
    // its threads so that none of them takes one.
    sigset_t handled;
    sigemptyset(&handled);
    for (const int s : kForwardedSignals)
        sigaddset(&handled, s);
    sigaddset(&handled, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    signal_fd_ = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd_ < 0) {
        fail(std::string("signalfd: ") + std::strerror(errno));
        return kExitLauncherError;
    }

    std::string error;
    if (!set_up(error)) {
        fail(error);
        close_testbed();
        return kExitLauncherError;
    }
    if (!start_folder_watchdog(testbed_.root_dir()))
        fail("no watchdog for the testbed folder: it stays behind if the launcher is killed");
    // The line opens only now: the watchdog, a fork that holds what the
    // launcher had open, would keep the port from ever vanishing.
    if (serial_ != nullptr && !serial_->options().no_reader && !serial_->plug(error)) {
        fail("serial module: " + error);
        close_testbed();
        return kExitLauncherError;
    }
    int code = kExitLauncherError;
    const bool started = spawn(error, &code);
    if (program_control_fd_ >= 0)
        close(program_control_fd_); // the program holds its own copy
    if (!started) {
        fail(error);
        close_testbed();
        return code;
    }
    loop();
    if (opts_.stats)
        print_stats();
    close_testbed();
    close(signal_fd_);
    if (control_fd_ >= 0)
        close(control_fd_);
    return exit_code();
}

// Every reader's card, and the capture to replay (--profile).
bool load_inputs(const LauncherOptions &opts, std::vector<vsim::CardFields> &cards,
                 std::shared_ptr<vsim::AnswerProfile> &profile, std::string &error)
{
    cards.resize(opts.readers.size());
    for (size_t i = 0; i < cards.size(); ++i) {
        if (!load_card(opts.readers[i], cards[i], error))
            return false;
    }
    if (opts.profile_file.empty())
        return true;
    profile = CaptureProfile::load(opts.profile_file, opts.exact, error);
    if (profile == nullptr)
        error = "--profile " + error;
    return profile != nullptr;
}

// Whether the program's bus ever changes: plug and unplug uevents come from
// the testbed, which needs the preload in this process too.
bool bus_changes(const LauncherOptions &opts)
{
    return opts.control ||
           std::any_of(opts.readers.begin(), opts.readers.end(), [](const ReaderOptions &r) {
               return r.unplug_after_us != kUnset || r.replug_after_us != kUnset ||
                      std::any_of(r.faults.begin(), r.faults.end(), [](const std::string &f) {
                          return f.rfind("unplug-after-transfers", 0) == 0;
                      });
           });
}

// Environment first: the testbed starts threads, and setenv is not safe
// beside them. The program inherits all of it. Starts over under the
// preload when the bus changes; returns whether the preload is loaded.
bool prepare_environment(const LauncherOptions &opts, char **argv)
{
    const bool preloaded = preload_loaded();
    const bool reexeced = getenv(kReexecMarker) != nullptr;
    unsetenv(kReexecMarker);
    relax_asan_link_order();
    setenv("LD_PRELOAD", preload_list().c_str(), 1);
    if (bus_changes(opts) && !reexeced && !preloaded) {
        setenv(kReexecMarker, "1", 1);
        execv("/proc/self/exe", argv);
        unsetenv(kReexecMarker);
        fail(std::string("cannot restart under the preload, no uevents: ") + std::strerror(errno));
    }
    return preloaded;
}

// The serial module's line appears at a fixed path in a folder of its own,
// which goes when the launcher does; the program finds it in
// VESSIK_VIRTUAL_SERIAL and VESSIK_SERIAL_READERS.
bool make_serial_folder(const LauncherOptions &opts, std::string &folder, std::string &link,
                        std::string &error)
{
    std::string made = kSerialFolderTemplate;
    if (mkdtemp(&made[0]) == nullptr) {
        error = std::string("serial module: ") + std::strerror(errno);
        return false;
    }
    // Like /dev, the folder shows the port to every user; the device's own
    // mode says who may open it.
    chmod(made.c_str(), kSerialFolderMode);
    folder = made;
    link = folder + kSerialLinkName;
    if (!start_folder_watchdog(folder))
        fail("no watchdog for the serial folder: it stays behind if the launcher is killed");
    setenv(kSerialPathVariable, link.c_str(), 1);
    std::string entry = link;
    if (opts.serial_rate != vsim::kSerialDefaultRate)
        entry += "@" + std::to_string(opts.serial_rate);
    const char *named = getenv(kSerialReadersVariable);
    if (named != nullptr && named[0] != '\0')
        entry = std::string(named) + ":" + entry;
    setenv(kSerialReadersVariable, entry.c_str(), 1);
    return true;
}

// The program's end of the control socket stays open across its exec.
bool open_control_socket(int (&control)[2], std::string &error)
{
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, control) != 0 ||
        fcntl(control[0], F_SETFD, FD_CLOEXEC) != 0) {
        error = std::string("control socket: ") + std::strerror(errno);
        return false;
    }
    setenv(kControlVariable, std::to_string(control[1]).c_str(), 1);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs); // inherited by the program

    LauncherOptions opts;
    std::string error;
    switch (parse_launcher_options(argc, argv, opts, error)) {
    case ParseOutcome::Help:
        std::fputs(launcher_usage(), stdout);
        vsim::print_fault_help(stdout);
        return 0;
    case ParseOutcome::Error:
        fail(error + "\nTry '" + kSelf + " --help'.");
        return kExitLauncherError;
    case ParseOutcome::Run:
        break;
    }
    std::vector<vsim::CardFields> cards;
    std::shared_ptr<vsim::AnswerProfile> profile;
    if (!load_inputs(opts, cards, profile, error)) {
        fail(error);
        return kExitLauncherError;
    }
    const bool preloaded = prepare_environment(opts, argv);

    vsim::CardFields serial_card;
    std::string serial_folder;
    std::string serial_link;
    int control[2] = {-1, -1};
    if ((opts.serial && (!load_card(opts.serial_reader, serial_card, error) ||
                         !make_serial_folder(opts, serial_folder, serial_link, error))) ||
        (opts.control && !open_control_socket(control, error))) {
        fail(error);
        return kExitLauncherError;
    }
    int status = kExitLauncherError;
    {
        Launcher launcher(opts, cards, serial_card, serial_link, profile, preloaded, control[0],
                          control[1]);
        status = launcher.run();
    }
    if (!serial_folder.empty())
        rmdir(serial_folder.c_str());
    return status;
}
