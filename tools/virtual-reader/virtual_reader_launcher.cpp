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
#include "reader_device.h"
#include "serial_port.h"
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

// Reader K's module identifier: VSIM-000K-000042, K in four digits, so that
// reader 1 keeps the model's own.
std::array<uint8_t, vsim::kModuleIdBytes> module_id_of(int reader)
{
    char text[vsim::kModuleIdBytes + 1];
    std::snprintf(text, sizeof text, "VSIM-%04d-000042", reader);
    std::array<uint8_t, vsim::kModuleIdBytes> id{};
    std::memcpy(id.data(), text, id.size());
    return id;
}

// The serial module's identifier: VSIM-S001-000042.
std::array<uint8_t, vsim::kModuleIdBytes> serial_module_id()
{
    constexpr char kText[] = "VSIM-S001-000042";
    static_assert(sizeof kText - 1 == vsim::kModuleIdBytes, "a module identifier is 16 bytes");
    std::array<uint8_t, vsim::kModuleIdBytes> id{};
    std::memcpy(id.data(), kText, id.size());
    return id;
}

// The serial module of --serial: its options, card, model and line.
struct SerialSocket {
    SerialSocket(const ReaderOptions &options, const vsim::CardFields &card_fields,
                 const MonotonicClock &clock, const std::string &link_path, int rate)
        : opts(options), card(card_fields), port(model, clock, link_path, rate)
    {
    }
    const ReaderOptions &opts;
    const vsim::CardFields card;
    vsim::VirtualReader model;
    SerialPort port;
};

// One reader of the launcher: what it was asked for, its card, its model and
// its device on the bus.
struct Socket {
    Socket(const ReaderOptions &options, const vsim::CardFields &card_fields,
           const MonotonicClock &clock, int reader_number)
        : opts(options), card(card_fields), number(reader_number), device(model, clock, number)
    {
    }
    const ReaderOptions &opts;
    const vsim::CardFields card;
    const int number; // 1 for the first
    vsim::VirtualReader model;
    ReaderDevice device;
};

// One timed action of the launcher, on one USB reader or on the serial
// module (Stop and Kill: on neither).
struct Event {
    uint64_t at_us;
    enum Kind { LayCard, LiftCard, Unplug, Replug, Stop, Kill } kind;
    Socket *socket;
    SerialSocket *serial;
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
        : opts_(opts), profile_(std::move(profile)), preloaded_(preloaded), control_fd_(control_fd),
          program_control_fd_(program_control_fd)
    {
        for (size_t i = 0; i < opts.readers.size(); ++i)
            sockets_.push_back(std::make_unique<Socket>(opts.readers[i], cards[i], clock_,
                                                        static_cast<int>(i) + 1));
        if (opts.serial)
            serial_ = std::make_unique<SerialSocket>(opts.serial_reader, serial_card, clock_,
                                                     serial_link, opts.serial_rate);
    }

    int run();

  private:
    bool set_up(std::string &error);
    bool set_up_reader(Socket &socket, std::string &error);
    bool set_up_serial(SerialSocket &serial, std::string &error);
    bool apply_serial_faults(const std::vector<std::string> &faults, vsim::VirtualReader &model,
                             vsim::SerialKnobs &knobs, std::string &error) const;
    std::string serial_command(SerialSocket &serial, const std::string &verb,
                               const std::vector<std::string> &args);
    bool spawn(std::string &error, int *exit_code);
    void loop();
    uint64_t service_devices();
    void run_due_events(uint64_t now);
    void run_event(const Event &e, uint64_t now);
    void on_signals();
    void on_control();
    std::string control_command(const std::string &text);
    std::string reader_command(Socket &socket, const std::string &verb,
                               const std::vector<std::string> &args);
    bool apply_faults(const std::vector<std::string> &faults, const Socket &socket,
                      vsim::VirtualReader &model, std::string &error) const;
    void schedule(uint64_t at, Event::Kind kind, Socket *socket = nullptr,
                  SerialSocket *serial = nullptr)
    {
        events_.push_back({at, kind, socket, serial});
    }
    void run_serial_event(const Event &e);
    void note(const char *what, const Socket *socket = nullptr) const;
    void print_stats();
    void close_testbed();
    int exit_code() const;

    const LauncherOptions &opts_;
    const std::shared_ptr<vsim::AnswerProfile> profile_; // --profile, or null
    const bool preloaded_;                               // uevents work only then
    MonotonicClock clock_;
    Testbed testbed_;
    std::vector<std::unique_ptr<Socket>> sockets_;
    std::unique_ptr<SerialSocket> serial_; // with --serial
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

std::string counters_text(const vsim::Counters &c)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "module_id=%d status=%d reset=%d find=%d select=%d read=%d "
                  "frames_rejected=%d probes=%d restarts=%d out_transfers=%d in_transfers=%d "
                  "clear_halts=%d device_resets=%d",
                  c.module_id, c.status, c.reset, c.find, c.select, c.read, c.frames_rejected,
                  c.probes, c.restarts, c.out_transfers, c.in_transfers, c.clear_halts,
                  c.device_resets);
    return text;
}

// The model as the launcher runs it for `socket`'s reader, with `faults`
// switched on.
bool Launcher::apply_faults(const std::vector<std::string> &faults, const Socket &socket,
                            vsim::VirtualReader &model, std::string &error) const
{
    vsim::Knobs &knobs = model.knobs();
    knobs.refind_after_read = true; // a card left on the reader reads again, as the demo expects
    knobs.module_id = module_id_of(socket.number);
    knobs.profile = profile_;
    for (const std::string &f : faults) {
        if (!vsim::is_serial_fault(f) && !vsim::apply_fault(f, knobs, error))
            return false; // the serial line's faults are the serial module's alone
    }
    model.set_keep_log(false); // the log would grow for as long as the program polls
    if (opts_.log) {
        // With several readers each line says whose it is.
        const std::string prefix =
            sockets_.size() > 1 ? "reader " + std::to_string(socket.number) + ": " : "";
        model.set_log_sink([prefix](const std::string &line) {
            std::fprintf(stderr, "%s%s\n", prefix.c_str(), line.c_str());
        });
    }
    return true;
}

bool Launcher::set_up_reader(Socket &socket, std::string &error)
{
    const ReaderOptions &r = socket.opts;
    if (!apply_faults(r.faults, socket, socket.model, error))
        return false;
    if (!socket.device.attach(testbed_, error))
        return false;
    socket.device.set_uevents(preloaded_);
    if (r.no_reader)
        socket.device.unplug();
    else if (!socket.device.plug(error))
        return false;

    if (r.card_after_us != kUnset)
        schedule(r.card_after_us, Event::LayCard, &socket);
    else if (!r.no_card)
        socket.device.insert_card(socket.card);
    if (r.remove_after_us != kUnset)
        schedule(r.remove_after_us, Event::LiftCard, &socket);
    if (r.unplug_after_us != kUnset)
        schedule(r.unplug_after_us, Event::Unplug, &socket);
    if (r.replug_after_us != kUnset)
        schedule(r.replug_after_us, Event::Replug, &socket);
    return true;
}

// The serial module's model with `faults` switched on: the line's own on
// `knobs`, the module's on the model.
bool Launcher::apply_serial_faults(const std::vector<std::string> &faults,
                                   vsim::VirtualReader &model, vsim::SerialKnobs &knobs,
                                   std::string &error) const
{
    knobs = vsim::SerialKnobs();
    model.knobs().refind_after_read = true;
    model.knobs().module_id = serial_module_id();
    for (const std::string &f : faults) {
        const bool applied = vsim::is_serial_fault(f) ? vsim::apply_serial_fault(f, knobs, error)
                                                      : vsim::apply_fault(f, model.knobs(), error);
        if (!applied)
            return false;
    }
    model.set_keep_log(false);
    if (opts_.log)
        model.set_log_sink(
            [](const std::string &line) { std::fprintf(stderr, "serial: %s\n", line.c_str()); });
    return true;
}

bool Launcher::set_up_serial(SerialSocket &serial, std::string &error)
{
    const ReaderOptions &r = serial.opts;
    if (!apply_serial_faults(r.faults, serial.model, serial.port.knobs(), error))
        return false;
    if (r.card_after_us != kUnset)
        schedule(r.card_after_us, Event::LayCard, nullptr, &serial);
    else if (!r.no_card)
        serial.model.insert_card(serial.card);
    if (r.remove_after_us != kUnset)
        schedule(r.remove_after_us, Event::LiftCard, nullptr, &serial);
    if (r.unplug_after_us != kUnset)
        schedule(r.unplug_after_us, Event::Unplug, nullptr, &serial);
    if (r.replug_after_us != kUnset)
        schedule(r.replug_after_us, Event::Replug, nullptr, &serial);
    std::fprintf(stderr, "%s: serial module at %s (%d baud)%s\n", kSelf,
                 serial.port.link_path().c_str(), serial.port.rate(),
                 r.no_reader ? ", not there yet" : "");
    return true;
}

bool Launcher::set_up(std::string &error)
{
    if (!testbed_.open(error))
        return false;
    for (const std::unique_ptr<Socket> &socket : sockets_) {
        if (!set_up_reader(*socket, error)) {
            if (sockets_.size() > 1)
                error = "reader " + std::to_string(socket->number) + ": " + error;
            return false;
        }
    }
    if (serial_ != nullptr && !set_up_serial(*serial_, error)) {
        error = "serial module: " + error;
        return false;
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

void Launcher::note(const char *what, const Socket *socket) const
{
    if (!opts_.log)
        return;
    const unsigned long long now = clock_.now_us();
    if (socket != nullptr && sockets_.size() > 1)
        std::fprintf(stderr, "t=%llu reader %d: %s\n", now, socket->number, what);
    else
        std::fprintf(stderr, "t=%llu %s\n", now, what);
}

void Launcher::run_serial_event(const Event &e)
{
    std::string error;
    SerialSocket &serial = *e.serial;
    switch (e.kind) {
    case Event::LayCard:
        serial.model.insert_card(serial.card);
        note("card laid on the serial module");
        break;
    case Event::LiftCard:
        serial.model.remove_card();
        note("card lifted off the serial module");
        break;
    case Event::Unplug:
        serial.port.unplug();
        note("serial port gone");
        break;
    case Event::Replug:
        if (!serial.port.plug(error))
            fail(error);
        note("serial port back");
        break;
    case Event::Stop:
    case Event::Kill:
        break;
    }
}

void Launcher::run_event(const Event &e, uint64_t now)
{
    if (e.serial != nullptr) {
        run_serial_event(e);
        return;
    }
    std::string error;
    switch (e.kind) {
    case Event::LayCard:
        e.socket->device.insert_card(e.socket->card);
        note("card laid on the reader", e.socket);
        break;
    case Event::LiftCard:
        e.socket->device.remove_card();
        note("card lifted off the reader", e.socket);
        break;
    case Event::Unplug:
        e.socket->device.unplug();
        note("reader unplugged", e.socket);
        break;
    case Event::Replug:
        if (!e.socket->device.plug(error))
            fail(error);
        note("reader plugged in", e.socket);
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

// One command on one reader; "ok" or "error: WHY".
std::string Launcher::reader_command(Socket &socket, const std::string &verb,
                                     const std::vector<std::string> &args)
{
    ReaderDevice &device = socket.device;
    std::string error;
    if (verb == "card") {
        device.insert_card(socket.card);
        note("card laid on the reader", &socket);
    } else if (verb == "lift") {
        device.remove_card();
        note("card lifted off the reader", &socket);
    } else if (verb == "unplug") {
        device.unplug();
        note("reader unplugged", &socket);
    } else if (verb == "plug") {
        if (!device.plug(error))
            return "error: " + error;
        note("reader plugged in", &socket);
    } else if (verb == "counters") {
        return "ok " + counters_text(device.counters());
    } else if (verb == "reader") {
        vsim::VirtualReader fresh;
        if (!apply_faults(args, socket, fresh, error))
            return "error: " + error;
        device.replace_model(std::move(fresh));
        device.service();
        if (!device.plug(error))
            return "error: " + error;
        note("fresh reader on the bus", &socket);
    } else {
        return "error: unknown command " + verb;
    }
    return "ok";
}

// One command on the serial module; "ok" or "error: WHY".
std::string Launcher::serial_command(SerialSocket &serial, const std::string &verb,
                                     const std::vector<std::string> &args)
{
    std::string error;
    if (verb == "card") {
        serial.model.insert_card(serial.card);
        note("card laid on the serial module");
    } else if (verb == "lift") {
        serial.model.remove_card();
        note("card lifted off the serial module");
    } else if (verb == "unplug") {
        serial.port.unplug();
        note("serial port gone");
    } else if (verb == "plug") {
        if (!serial.port.present() && !serial.port.plug(error))
            return "error: " + error;
        note("serial port back");
    } else if (verb == "counters") {
        return "ok " + counters_text(serial.model.counters());
    } else if (verb == "reader") {
        vsim::VirtualReader fresh;
        vsim::SerialKnobs knobs;
        if (!apply_serial_faults(args, fresh, knobs, error))
            return "error: " + error;
        serial.port.replace_model(std::move(fresh));
        serial.port.knobs() = knobs;
        if (!serial.port.present() && !serial.port.plug(error))
            return "error: " + error;
        note("fresh serial module");
    } else {
        return "error: unknown command " + verb;
    }
    return "ok";
}

// One command from the program; the answer goes back as one message.
// "K:COMMAND" is for reader K; a bare command is for every reader, but
// counters answers for reader 1.
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
        return serial_command(*serial_, serial_verb, args);
    }
    int reader = 0;
    std::string bare_verb;
    if (split_reader_address(verb, &reader, &bare_verb)) {
        if (reader < 1 || static_cast<size_t>(reader) > sockets_.size())
            return "error: there is no reader " + std::to_string(reader);
        verb = bare_verb;
    }
    if (verb != "reader" && !args.empty())
        return "error: " + verb + " takes no arguments";
    if (reader == 0 && verb == "counters")
        reader = 1;

    service_devices(); // a reader that dropped off by itself leaves the bus first
    for (const std::unique_ptr<Socket> &socket : sockets_) {
        if (reader != 0 && socket->number != reader)
            continue;
        const std::string reply = reader_command(*socket, verb, args);
        if (reply.compare(0, 2, "ok") != 0 || reader != 0)
            return reply;
    }
    if (serial_ != nullptr)
        return serial_command(*serial_, verb, args);
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

// Services every reader; the soonest time one of them must run again.
uint64_t Launcher::service_devices()
{
    uint64_t next = ReaderDevice::kNever;
    for (const std::unique_ptr<Socket> &socket : sockets_)
        next = std::min(next, socket->device.service());
    if (serial_ != nullptr)
        next = std::min(next, serial_->port.service());
    return next;
}

void Launcher::loop()
{
    // Signals, the control socket, the serial line, then each reader's
    // wake-up descriptor.
    constexpr size_t kSerialLine = 2;
    constexpr size_t kFirstDevice = 3;
    std::vector<pollfd> fds(kFirstDevice + sockets_.size());
    while (!child_done_) {
        const uint64_t now = clock_.now_us();
        run_due_events(now);
        uint64_t next = service_devices();
        for (const Event &e : events_)
            next = std::min(next, e.at_us);

        timespec wait{};
        timespec *timeout = nullptr;
        if (next != ReaderDevice::kNever) {
            const uint64_t after = clock_.now_us();
            const uint64_t us = next > after ? next - after : 0;
            wait.tv_sec = static_cast<time_t>(us / MonotonicClock::kUsPerS);
            wait.tv_nsec = static_cast<long>(us % MonotonicClock::kUsPerS) * kNsPerUs;
            timeout = &wait;
        }
        fds[0] = {signal_fd_, POLLIN, 0};
        fds[1] = {control_fd_, POLLIN, 0}; // poll skips -1
        fds[kSerialLine] = {serial_ != nullptr ? serial_->port.notify_fd() : -1, POLLIN, 0};
        for (size_t i = 0; i < sockets_.size(); ++i)
            fds[kFirstDevice + i] = {sockets_[i]->device.notify_fd(), POLLIN, 0};
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
    // One line of counters per reader; with several, each says whose.
    for (const std::unique_ptr<Socket> &socket : sockets_) {
        const std::string counters = counters_text(socket->device.counters());
        if (sockets_.size() > 1)
            std::fprintf(stderr, "%s: stats: reader=%d %s\n", kSelf, socket->number,
                         counters.c_str());
        else
            std::fprintf(stderr, "%s: stats: %s\n", kSelf, counters.c_str());
    }
    if (serial_ != nullptr)
        std::fprintf(stderr, "%s: stats: serial %s\n", kSelf,
                     counters_text(serial_->model.counters()).c_str());
}

void Launcher::close_testbed()
{
    if (serial_ != nullptr)
        serial_->port.unplug();
    for (const std::unique_ptr<Socket> &socket : sockets_)
        socket->device.detach();
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
    if (serial_ != nullptr && !serial_->opts.no_reader && !serial_->port.plug(error)) {
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
    std::vector<vsim::CardFields> cards(opts.readers.size());
    for (size_t i = 0; i < cards.size(); ++i) {
        if (!load_card(opts.readers[i], cards[i], error)) {
            fail(error);
            return kExitLauncherError;
        }
    }

    std::shared_ptr<vsim::AnswerProfile> profile;
    if (!opts.profile_file.empty()) {
        profile = CaptureProfile::load(opts.profile_file, opts.exact, error);
        if (profile == nullptr) {
            fail("--profile " + error);
            return kExitLauncherError;
        }
    }

    // Environment first: the testbed starts threads, and setenv is not safe
    // beside them. The program inherits all of it.
    const bool preloaded = preload_loaded();
    const bool reexeced = getenv(kReexecMarker) != nullptr;
    unsetenv(kReexecMarker);
    relax_asan_link_order();
    setenv("LD_PRELOAD", preload_list().c_str(), 1);

    // Plug and unplug uevents come from the testbed, which needs the preload
    // in this process too: start over under it.
    const bool bus_changes =
        opts.control ||
        std::any_of(opts.readers.begin(), opts.readers.end(), [](const ReaderOptions &r) {
            return r.unplug_after_us != kUnset || r.replug_after_us != kUnset ||
                   std::any_of(r.faults.begin(), r.faults.end(), [](const std::string &f) {
                       return f.rfind("unplug-after-transfers", 0) == 0;
                   });
        });
    if (bus_changes && !reexeced && !preloaded) {
        setenv(kReexecMarker, "1", 1);
        execv("/proc/self/exe", argv);
        unsetenv(kReexecMarker);
        fail(std::string("cannot restart under the preload, no uevents: ") + std::strerror(errno));
    }

    // The serial module's line appears at a fixed path in a folder of its
    // own, which goes when the launcher does.
    vsim::CardFields serial_card;
    std::string serial_folder;
    std::string serial_link;
    if (opts.serial) {
        if (!load_card(opts.serial_reader, serial_card, error)) {
            fail(error);
            return kExitLauncherError;
        }
        std::string folder = kSerialFolderTemplate;
        if (mkdtemp(&folder[0]) == nullptr) {
            fail(std::string("serial module: ") + std::strerror(errno));
            return kExitLauncherError;
        }
        // Like /dev, the folder shows the port to every user; the device's
        // own mode says who may open it.
        chmod(folder.c_str(), kSerialFolderMode);
        serial_folder = folder;
        serial_link = serial_folder + kSerialLinkName;
        if (!start_folder_watchdog(serial_folder))
            fail("no watchdog for the serial folder: it stays behind if the launcher is killed");
        setenv(kSerialPathVariable, serial_link.c_str(), 1);
        std::string entry = serial_link;
        if (opts.serial_rate != vsim::kSerialDefaultRate)
            entry += "@" + std::to_string(opts.serial_rate);
        const char *named = getenv(kSerialReadersVariable);
        if (named != nullptr && named[0] != '\0')
            entry = std::string(named) + ":" + entry;
        setenv(kSerialReadersVariable, entry.c_str(), 1);
    }

    // The program's end of the control socket stays open across its exec.
    int control[2] = {-1, -1};
    if (opts.control) {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, control) != 0 ||
            fcntl(control[0], F_SETFD, FD_CLOEXEC) != 0) {
            fail(std::string("control socket: ") + std::strerror(errno));
            return kExitLauncherError;
        }
        setenv(kControlVariable, std::to_string(control[1]).c_str(), 1);
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
